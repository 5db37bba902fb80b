#include "platform/hive_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/settings_store.h"
#include "framework/registry.h"
#include "tests/settings/settings_fakes.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using platform::HiveFile;
using platform::HiveValue;

const std::string kKey = "Software\\Brindlework\\Postwrn";

HiveValue sz(const std::string& text, std::uint32_t type = platform::REG_SZ) {
    return {type, text + '\0'};
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class HiveFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "postwren-hive-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root = tmpl;
        file = root / "cfg" / "postwren" / "user.reg";
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root, file;
};

TEST_F(HiveFileTest, WritesAPrivateFileInExportLayout) {
    HiveFile hive(file);
    EXPECT_FALSE(hive.keyExists(kKey));
    EXPECT_TRUE(hive.keyExists(""));
    ASSERT_TRUE(hive.createKey(kKey));
    ASSERT_TRUE(hive.writeValue(kKey, "POP3", sz("pop.example.jp")));
    ASSERT_TRUE(hive.writeValue("software\\BRINDLEWORK\\postwrn", "Cycle", {platform::REG_DWORD, "\x0a\0\0\0"s}));
    EXPECT_EQ(slurp(file),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Brindlework]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Brindlework\\Postwrn]\n\"POP3\"=\"pop.example.jp\"\n"
              "\"Cycle\"=dword:0000000a\n\n");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(root / "cfg").permissions(), fs::perms::owner_all);
    EXPECT_EQ(filesIn(file.parent_path()), std::vector<std::string>{"user.reg"});  // no temporary left
    EXPECT_FALSE(hive.writeValue("Software\\Other", "V", sz("x")));                // only into existing keys
    EXPECT_FALSE(hive.createKey("Software\\\\Empty"));
}

struct FormCase {
    HiveValue value;
    const char* line;
};

class ValueForm : public HiveFileTest, public testing::WithParamInterface<FormCase> {};

TEST_P(ValueForm, IsWrittenReadablyOrInHexAndReadsBackByteExact) {
    ASSERT_TRUE(HiveFile(file).createKey("K"));
    ASSERT_TRUE(HiveFile(file).writeValue("K", "V", GetParam().value));
    EXPECT_NE(slurp(file).find("\n"s + GetParam().line + "\n"), std::string::npos) << slurp(file);
    HiveValue back;
    ASSERT_TRUE(HiveFile(file).readValue("K", "v", back));
    EXPECT_EQ(back, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ValueForm,
    testing::Values(FormCase{sz("a\\b\"c"), R"("V"="a\\b\"c")"}, FormCase{sz(""), R"("V"="")"},
                    FormCase{sz("\x83\x81\x81\x5B\x83\x8B"), R"("V"="メール")"},  // CP932 in, UTF-8 in the file
                    FormCase{sz("a\tb"), R"("V"=hex(1):61,09,62,00)"},
                    // NEC-selected IBM character: converts, but not back to the same bytes.
                    FormCase{sz("\xED\x40"), R"("V"=hex(1):ed,40,00)"}, FormCase{sz("\x80"), R"("V"=hex(1):80,00)"},
                    FormCase{{platform::REG_SZ, "a\0b\0"s}, R"("V"=hex(1):61,00,62,00)"},
                    FormCase{{platform::REG_SZ, "ab"}, R"("V"=hex(1):61,62)"},
                    FormCase{sz("%P%", platform::REG_EXPAND_SZ), R"("V"=hex(2):25,50,25,00)"},
                    FormCase{{platform::REG_DWORD, "\xff\xff\xff\x7f"}, R"("V"=dword:7fffffff)"},
                    FormCase{{platform::REG_DWORD, "\x01\x02"}, R"("V"=hex(4):01,02)"},
                    FormCase{{platform::REG_BINARY, "\0\xff"s}, R"("V"=hex:00,ff)"},
                    FormCase{{11, "\x01"}, R"("V"=hex(b):01)"}, FormCase{{platform::REG_BINARY, ""}, R"("V"=hex:)"}));

TEST_F(HiveFileTest, WrapsLongHexAndReadsItBack) {
    HiveValue big{platform::REG_BINARY, std::string(200, '\0')};
    for (std::size_t i = 0; i < big.data.size(); ++i) big.data[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(HiveFile(file).createKey("K"));
    ASSERT_TRUE(HiveFile(file).writeValue("K", "V", big));
    std::istringstream lines(slurp(file));
    int continued = 0;
    for (std::string l; std::getline(lines, l);) {
        EXPECT_LE(l.size(), 80u) << l;
        continued += !l.empty() && l.back() == '\\';
    }
    EXPECT_GE(continued, 7);
    HiveValue back;
    ASSERT_TRUE(HiveFile(file).readValue("K", "V", back));
    EXPECT_EQ(back, big);
}

TEST_F(HiveFileTest, ReadsForeignFilesAndKeepsWhatItDoesNotKnow) {
    const std::string foreign =
        "\xEF\xBB\xBFREGEDIT4\r\n\r\n; hand-written\r\n[HKEY_LOCAL_MACHINE\\Elsewhere]\r\n\"X\"=\"y\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\software\\brindlework\\postwrn]\r\n\"POP3\"=\"old\"\r\n"
        "\"Multi\"=hex(7):61,00,\\\r\n  62,00,00,00\r\n@=\"default\"\r\n\"Emoji\"=\"\xF0\x9F\x98\x80\"\r\n"
        "\"Twice\"=dword:1\r\n\"twice\"=dword:00000002\r\n";
    spit(file, foreign);
    HiveFile hive(file);
    HiveValue v;
    EXPECT_TRUE(hive.keyExists("Software\\Brindlework"));  // only its subkey has a section
    ASSERT_TRUE(hive.readValue(kKey, "Multi", v));
    EXPECT_EQ(v, (HiveValue{7, "a\0b\0\0\0"s}));
    ASSERT_TRUE(hive.readValue(kKey, "", v));
    EXPECT_EQ(v, sz("default"));
    ASSERT_TRUE(hive.readValue(kKey, "TWICE", v));
    EXPECT_EQ(v, (HiveValue{platform::REG_DWORD, "\x02\0\0\0"s}));  // the later one wins
    EXPECT_TRUE(hive.valueExists(kKey, "Emoji"));
    EXPECT_FALSE(hive.readValue(kKey, "Emoji", v));  // no CP932 form: kept, not readable

    ASSERT_TRUE(hive.writeValue(kKey, "pop3", sz("new")));
    const std::string after = slurp(file);
    for (const char* kept : {"REGEDIT4\n; hand-written\n", "[HKEY_LOCAL_MACHINE\\Elsewhere]\n\"X\"=\"y\"\n",
                             "\"POP3\"=\"new\"\n\"Multi\"=hex(7):61,00,\\\n  62,00,00,00\n@=\"default\"\n",
                             "\"Emoji\"=\"\xF0\x9F\x98\x80\"\n"})
        EXPECT_NE(after.find(kept), std::string::npos) << kept << "\nin\n" << after;
    ASSERT_TRUE(HiveFile(file).readValue(kKey, "POP3", v));
    EXPECT_EQ(v, sz("new"));
}

TEST_F(HiveFileTest, LargeFilesOfManyKeysOrValuesStillLoad) {
    std::string values = "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n";
    std::string keys = "REGEDIT4\n";
    for (int i = 0; i < 45000; ++i) values += "\"v" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
    for (int i = 0; i < 35000; ++i) keys += "[HKEY_CURRENT_USER\\K" + std::to_string(i) + "]\n";
    ASSERT_LT(values.size(), HiveFile::MaxFileSize);
    ASSERT_LT(keys.size(), HiveFile::MaxFileSize);
    HiveValue v;
    spit(file, values);
    ASSERT_TRUE(HiveFile(file).readValue("K", "V44999", v));
    EXPECT_EQ(v, (HiveValue{platform::REG_DWORD, "\x09\0\0\0"s}));
    spit(file, keys);
    EXPECT_TRUE(HiveFile(file).keyExists("k34999"));
    EXPECT_TRUE(HiveFile(file).writeValue("K34999", "V", sz("x")));
}

class DamagedFile : public HiveFileTest, public testing::WithParamInterface<std::string> {};

TEST_P(DamagedFile, CannotBeOpenedAndIsMovedAsideBeforeTheNextWrite) {
    const std::string damaged = GetParam();
    spit(file, damaged);
    HiveFile hive(file);
    HiveValue v;
    EXPECT_FALSE(hive.keyExists("K"));
    EXPECT_FALSE(hive.keyExists(""));
    EXPECT_FALSE(hive.readValue("K", "V", v));
    EXPECT_FALSE(hive.writeValue("K", "V", sz("x")));
    EXPECT_EQ(slurp(file), damaged);
    ASSERT_TRUE(hive.createKey("K"));
    const auto names = filesIn(file.parent_path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "user.reg");
    EXPECT_EQ(names[1].rfind("user.reg.damaged-", 0), 0u) << names[1];
    EXPECT_EQ(slurp(file.parent_path() / names[1]), damaged);
    EXPECT_TRUE(hive.keyExists("K"));
}

INSTANTIATE_TEST_SUITE_P(Texts, DamagedFile,
                         testing::Values(""s, "garbage\n"s, "REGEDIT4\n\"V\"=\"outside any key\"\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=\"unclosed\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=\"bad \\n escape\"\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=hex:0g\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=hex:01,\\\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=dword:123456789\n"s,
                                         "REGEDIT4\n[-HKEY_CURRENT_USER\\K]\n"s, "REGEDIT4\n[HKEY_CURRENT_USER\\K\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\0\xff\xfe\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n;" +
                                             std::string(HiveFile::MaxFileSize, 'x') + "\n"));

TEST_F(HiveFileTest, AFailedWriteLeavesTheOldFileIntact) {
    HiveFile hive(file);
    ASSERT_TRUE(hive.createKey(kKey));
    ASSERT_TRUE(hive.writeValue(kKey, "Mailer", sz("/usr/bin/mailer")));
    const std::string before = slurp(file);

    // Larger than a file the next load would accept.
    EXPECT_FALSE(hive.writeValue(kKey, "Big", {platform::REG_BINARY, std::string(HiveFile::MaxFileSize, 'x')}));
    EXPECT_EQ(slurp(file), before);

    // The disk fills up while the new file is written.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = before.size() + 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool wrote = hive.writeValue(kKey, "Mailer", sz(std::string(4096, 'm')));
    TRegistry registry(hive);
    ASSERT_TRUE(registry.OpenKey("\\" + kKey, false));
    std::string message;
    try {
        registry.WriteString("Mailer", std::string(4096, 'm'));
    } catch (const ERegistryException& e) {
        message = e.Message();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(message, Sjis("'Mailer' の設定に失敗しました"));
    EXPECT_EQ(slurp(file), before);
    EXPECT_EQ(filesIn(file.parent_path()), std::vector<std::string>{"user.reg"});

    // A directory that cannot be made: a plain file stands in its way.
    spit(root / "blocked", "");
    EXPECT_FALSE(HiveFile(root / "blocked" / "postwren" / "user.reg").createKey("K"));
}

TEST_F(HiveFileTest, AFileThatCannotBeReadIsNeverReplaced) {
    fs::create_directories(file);  // a directory where the file should be
    HiveFile hive(file);
    EXPECT_FALSE(hive.keyExists(""));
    EXPECT_FALSE(hive.createKey("K"));
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(filesIn(file.parent_path()), std::vector<std::string>{"user.reg"});
}

TEST(HiveFileLocation, FollowsXdgConfigHomeOrHome) {
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "", savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", "/home/u", 1);
    ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
    EXPECT_EQ(HiveFile::DefaultPath(), fs::path("/x/cfg/postwren/user.reg"));
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // ignored, as the base directory rules say
    EXPECT_EQ(HiveFile::DefaultPath(), fs::path("/home/u/.config/postwren/user.reg"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(HiveFile::DefaultPath(), fs::path("/home/u/.config/postwren/user.reg"));
    oldXdg ? ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

TEST_F(HiveFileTest, RegistryOpensKeysByPathAndChecksTypes) {
    HiveFile hive(file);
    TRegistry reg(hive);
    EXPECT_FALSE(reg.OpenKey("\\Software\\Brindlework", false));
    ASSERT_TRUE(reg.OpenKey("\\Software", true));
    ASSERT_TRUE(reg.OpenKey("brindlework\\POSTWRN", true));  // below the current key
    EXPECT_EQ(reg.CurrentPath(), "Software\\brindlework\\POSTWRN");
    EXPECT_FALSE(reg.OpenKey("\\Missing", false));
    EXPECT_FALSE(reg.OpenKey("\\a\\\\b", true));
    EXPECT_EQ(reg.CurrentPath(), "Software\\brindlework\\POSTWRN");  // a failed open keeps the key

    reg.WriteString("S", "x\0y"s);
    reg.WriteInteger("N", -2);
    EXPECT_EQ(reg.ReadString("s"), "x");
    EXPECT_EQ(reg.ReadStringBytes("s"), "x\0y"s);
    EXPECT_EQ(reg.ReadInteger("n"), -2);
    EXPECT_TRUE(reg.ValueExists("N"));
    EXPECT_FALSE(reg.ValueExists("Nope"));
    auto messageOf = [](auto&& f) {
        try {
            f();
        } catch (const ERegistryException& e) {
            return e.Message();
        }
        return std::string("no exception");
    };
    EXPECT_EQ(messageOf([&] { reg.ReadString("N"); }), Sjis("'N' のデータ型が不正です"));
    EXPECT_EQ(messageOf([&] { reg.ReadInteger("S"); }), Sjis("'S' のデータ型が不正です"));
    EXPECT_EQ(messageOf([&] { reg.ReadString("Nope"); }), Sjis("'Nope' の取得に失敗しました"));

    reg.SetAccess(KEY_QUERY_VALUE);
    ASSERT_TRUE(reg.OpenKey("\\" + kKey, false));
    EXPECT_EQ(reg.ReadInteger("N"), -2);
    EXPECT_EQ(messageOf([&] { reg.WriteInteger("N", 1); }), Sjis("'N' の設定に失敗しました"));
    reg.SetRootKey(HKEY_CURRENT_USER + 1);
    EXPECT_FALSE(reg.OpenKey("\\" + kKey, false));
}

TEST_F(HiveFileTest, SavedSettingsLoadBackFromTheFileWithEveryPassword) {
    RecordingTarget saved;
    saved.host = Sjis("メール.example.jp");
    saved.mailer = "/usr/bin/sylpheed";
    saved.cycle = 5;
    // Twelve bytes that all scramble to zero, then a double-byte text.
    for (std::size_t p = 0; p < 12; ++p)
        saved.password += static_cast<char>(256 - DefaultScrambleKey[std::min(p, std::size_t{9})]);
    saved.password += Sjis("パスワード");
    {
        HiveFile writer(file);
        TRegistry reg(writer);
        SaveSettings(reg, saved, DefaultScrambleKey);
    }
    EXPECT_NE(slurp(file).find("\"Password\"=hex(1):00,00,00,00,00,00,00,00,00,00,00,00,"), std::string::npos);
    HiveFile fresh(file);
    TRegistry reg(fresh);
    RecordingTarget loaded;
    LoadSettings(reg, loaded, DefaultScrambleKey);
    EXPECT_EQ(loaded.host, saved.host);
    EXPECT_EQ(loaded.password, saved.password);
    EXPECT_EQ(loaded.cycle, 5);
    EXPECT_EQ(loaded.mailer, saved.mailer);
}

}  // namespace
