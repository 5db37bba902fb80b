#include "core/hive_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/registry.h"
#include "settings/settings_store.h"
#include "tests/support/hive_values.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using platform::HiveError;
using platform::HiveFile;
using platform::HiveStatus;
using platform::HiveValue;
using testing_support::sz;

const std::string kKey = "Software\\Brindlework\\Postwrn";

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

HiveStatus failure(HiveError error, int systemError = 0) {
    return HiveStatus::Failed(error, systemError);
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
    const std::vector<std::string> kStoreFiles{"user.reg", "user.reg.lock"};
};

TEST_F(HiveFileTest, WritesAPrivateFileInExportLayoutBesideItsLock) {
    HiveFile hive(file);
    EXPECT_EQ(hive.keyExists(kKey), failure(HiveError::NotFound));
    EXPECT_TRUE(hive.keyExists(""));  // a missing file is an empty hive
    ASSERT_TRUE(hive.createKey(kKey));
    ASSERT_TRUE(hive.writeValue(kKey, "POP3", sz("pop.example.jp")));
    EXPECT_EQ(slurp(file),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Brindlework]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Brindlework\\Postwrn]\n\"POP3\"=\"pop.example.jp\"\n\n");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(root / "cfg").permissions(), fs::perms::owner_all);
    EXPECT_EQ(filesIn(file.parent_path()), kStoreFiles);  // no temporary left
    EXPECT_EQ(hive.writeValue("Software\\Other", "V", sz("x")), failure(HiveError::NotFound));
    HiveValue v;
    EXPECT_EQ(hive.readValue(kKey, "Nope", v), failure(HiveError::NotFound));
}

TEST_F(HiveFileTest, ABatchIsOneChangeThatCreatesItsKey) {
    HiveFile hive(file);
    EXPECT_EQ(hive.writeValues(kKey, {{"A", sz("1")}}, false), failure(HiveError::NotFound));
    EXPECT_FALSE(fs::exists(file));
    ASSERT_TRUE(hive.writeValues(kKey, {{"A", sz("1")}, {"B", sz("2")}}, true));
    HiveValue v;
    ASSERT_TRUE(hive.readValue(kKey, "b", v));
    EXPECT_EQ(v, sz("2"));
    // A batch with a value it cannot store changes nothing.
    const std::string before = slurp(file);
    EXPECT_FALSE(hive.writeValues(kKey, {{"A", sz("3")}, {"Bad\nName", sz("4")}}, false));
    EXPECT_EQ(slurp(file), before);
}

class DamagedFile : public HiveFileTest, public testing::WithParamInterface<std::string> {};

TEST_P(DamagedFile, IsSaidSoAndMovedAsideBeforeTheNextKeyIsMade) {
    const std::string damaged = GetParam();
    spit(file, damaged);
    HiveFile hive(file);
    HiveValue v;
    EXPECT_EQ(hive.keyExists("K"), failure(HiveError::Damaged));
    EXPECT_EQ(hive.keyExists(""), failure(HiveError::Damaged));
    EXPECT_EQ(hive.readValue("K", "V", v), failure(HiveError::Damaged));
    EXPECT_EQ(hive.writeValue("K", "V", sz("x")), failure(HiveError::Damaged));
    EXPECT_EQ(slurp(file), damaged);
    ASSERT_TRUE(hive.createKey("K"));
    const auto names = filesIn(file.parent_path());
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "user.reg");
    EXPECT_EQ(names[1].rfind("user.reg.damaged-", 0), 0u) << names[1];
    EXPECT_EQ(names[2], "user.reg.lock");
    EXPECT_EQ(slurp(file.parent_path() / names[1]), damaged);
    EXPECT_TRUE(hive.keyExists("K"));
}

INSTANTIATE_TEST_SUITE_P(Texts, DamagedFile,
                         testing::Values("garbage\n"s, "REGEDIT4\n[HKEY_CURRENT_USER\\K\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n;" +
                                             std::string(HiveFile::MaxFileSize, 'x') + "\n"));

TEST_F(HiveFileTest, SettingADamagedFileAsideNamesWhereItWent) {
    HiveFile hive(file);
    std::string movedTo;
    EXPECT_EQ(hive.setAsideDamaged(movedTo), failure(HiveError::NotFound));  // no file
    ASSERT_TRUE(hive.createKey("K"));
    EXPECT_EQ(hive.setAsideDamaged(movedTo), failure(HiveError::NotFound));  // a sound file stays
    EXPECT_TRUE(fs::exists(file));
    spit(file, "garbage\n");
    ASSERT_TRUE(hive.setAsideDamaged(movedTo));
    EXPECT_EQ(fs::path(movedTo).parent_path(), file.parent_path());
    EXPECT_EQ(slurp(movedTo), "garbage\n");
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(hive.keyExists("K"), failure(HiveError::NotFound));
}

TEST_F(HiveFileTest, AFailedWriteLeavesTheOldFileIntactAndSaysWhy) {
    HiveFile hive(file);
    ASSERT_TRUE(hive.createKey(kKey));
    ASSERT_TRUE(hive.writeValue(kKey, "Mailer", sz("/usr/bin/mailer")));
    const std::string before = slurp(file);

    // Larger than a file the next load would accept.
    EXPECT_EQ(hive.writeValue(kKey, "Big", {platform::REG_BINARY, std::string(HiveFile::MaxFileSize, 'x')}),
              failure(HiveError::WriteFailed, EFBIG));
    EXPECT_EQ(slurp(file), before);

    // The disk fills up while the new file is written.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = before.size() + 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const HiveStatus wrote = hive.writeValue(kKey, "Mailer", sz(std::string(4096, 'm')));
    TRegistry registry(hive);
    ASSERT_TRUE(registry.OpenKey("\\" + kKey, false));
    std::string message;
    try {
        registry.WriteString("Mailer", std::string(4096, 'm'));
    } catch (const ERegistryException& e) {
        message = e.Message();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(wrote, failure(HiveError::WriteFailed, EFBIG));
    EXPECT_EQ(message, Sjis("'Mailer' の設定に失敗しました"));
    EXPECT_EQ(registry.LastStatus(), failure(HiveError::WriteFailed, EFBIG));
    EXPECT_EQ(slurp(file), before);
    EXPECT_EQ(filesIn(file.parent_path()), kStoreFiles);

    // A directory that cannot be made: a plain file stands in its way.
    spit(root / "blocked", "");
    EXPECT_EQ(HiveFile(root / "blocked" / "postwren" / "user.reg").createKey("K").error, HiveError::WriteFailed);
}

TEST_F(HiveFileTest, AFileThatCannotBeReadIsNeverReplaced) {
    fs::create_directories(file);  // a directory where the file should be
    HiveFile hive(file);
    EXPECT_EQ(hive.keyExists("").error, HiveError::Unreadable);
    EXPECT_EQ(hive.createKey("K").error, HiveError::Unreadable);
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(filesIn(file.parent_path()), kStoreFiles);
}

TEST_F(HiveFileTest, ALinkedFileIsReplacedWhereItLeadsAndStaysALink) {
    const fs::path dotfiles = root / "dotfiles";
    spit(dotfiles / "user.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"Old\"=\"kept\"\n");
    fs::create_directories(file.parent_path());
    fs::create_symlink("../../dotfiles/user.reg", file);
    HiveFile hive(file);
    ASSERT_TRUE(hive.writeValues("K", {{"New", sz("value")}}, true));
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(fs::read_symlink(file), fs::path("../../dotfiles/user.reg"));
    EXPECT_EQ(slurp(dotfiles / "user.reg"),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"Old\"=\"kept\"\n\"New\"=\"value\"\n\n");
    EXPECT_EQ(fs::status(dotfiles / "user.reg").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(filesIn(dotfiles), std::vector<std::string>{"user.reg"});  // the temporary was made and went here
    EXPECT_EQ(filesIn(file.parent_path()), kStoreFiles);
}

TEST_F(HiveFileTest, ALinkThatLeadsNowhereOrInALoopIsAnErrorAndNothingIsWritten) {
    fs::create_directories(file.parent_path());
    fs::create_symlink(root / "gone" / "user.reg", file);
    HiveFile dangling(file);
    EXPECT_EQ(dangling.keyExists(""), failure(HiveError::Unreadable, ENOENT));
    EXPECT_EQ(dangling.createKey("K"), failure(HiveError::Unreadable, ENOENT));
    EXPECT_EQ(dangling.writeValues("K", {{"V", sz("x")}}, true), failure(HiveError::Unreadable, ENOENT));
    EXPECT_FALSE(fs::exists(root / "gone"));
    EXPECT_TRUE(fs::is_symlink(file));

    fs::remove(file);
    fs::create_symlink("loop-b", file);
    fs::create_symlink("user.reg", file.parent_path() / "loop-b");
    HiveFile loop(file);
    EXPECT_EQ(loop.keyExists(""), failure(HiveError::Unreadable, ELOOP));
    EXPECT_EQ(loop.createKey("K"), failure(HiveError::Unreadable, ELOOP));
    EXPECT_EQ(filesIn(file.parent_path()), (std::vector<std::string>{"loop-b", "user.reg", "user.reg.lock"}));
}

TEST_F(HiveFileTest, TemporaryFilesAKilledWriterLeftAreRemovedByTheNextChange) {
    HiveFile hive(file);
    ASSERT_TRUE(hive.createKey("K"));
    const fs::path dir = file.parent_path();
    spit(dir / "user.reg.tmp-Ab3xYz", "REGEDIT4\n\"scrambled\"\n");
    spit(dir / "user.reg.tmp-keep-me", "not ours: another name");
    spit(root / "elsewhere", "outside");
    fs::create_symlink(root / "elsewhere", dir / "user.reg.tmp-LINK00");  // never followed
    // A leftover is never taken for the settings.
    EXPECT_EQ(hive.keyExists("K"), HiveStatus::Ok());
    ASSERT_TRUE(hive.writeValue("K", "V", sz("x")));
    EXPECT_EQ(filesIn(dir),
              (std::vector<std::string>{"user.reg", "user.reg.lock", "user.reg.tmp-LINK00", "user.reg.tmp-keep-me"}));
    EXPECT_EQ(slurp(root / "elsewhere"), "outside");
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
    EXPECT_EQ(reg.LastStatus(), failure(HiveError::NotFound));
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

    // A key read at once answers from that reading until it is written to.
    ASSERT_TRUE(reg.OpenKeySnapshot("\\" + kKey));
    {
        TRegistry other(hive);
        ASSERT_TRUE(other.OpenKey("\\" + kKey, false));
        other.WriteString("S", "new");
    }
    EXPECT_EQ(reg.ReadString("s"), "x");
    reg.WriteInteger("N", -2);
    EXPECT_EQ(reg.ReadString("s"), "new");
    EXPECT_FALSE(reg.OpenKeySnapshot("\\Missing"));
    EXPECT_EQ(reg.LastStatus(), failure(HiveError::NotFound));

    reg.SetAccess(KEY_QUERY_VALUE);
    ASSERT_TRUE(reg.OpenKey("\\" + kKey, false));
    EXPECT_EQ(reg.ReadInteger("N"), -2);
    EXPECT_EQ(messageOf([&] { reg.WriteInteger("N", 1); }), Sjis("'N' の設定に失敗しました"));
    reg.SetRootKey(HKEY_CURRENT_USER + 1);
    EXPECT_FALSE(reg.OpenKey("\\" + kKey, false));
}

TEST_F(HiveFileTest, SavedSettingsLoadBackFromTheFileWithEveryPassword) {
    StoredSettings saved;
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
        ASSERT_TRUE(SaveSettings(reg, saved, DefaultScrambleKey));
    }
    EXPECT_NE(slurp(file).find("\"Password\"=hex(1):00,00,00,00,00,00,00,00,00,00,00,00,"), std::string::npos);
    HiveFile fresh(file);
    TRegistry reg(fresh);
    StoredSettings loaded;
    EXPECT_EQ(LoadSettings(reg, loaded, DefaultScrambleKey).status, SettingsLoadStatus::Loaded);
    EXPECT_EQ(loaded, saved);
}

TEST_F(HiveFileTest, ADamagedFileLoadsAsDamagedAndIsMovedAsideWithItsName) {
    spit(file, "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Brindlework\\Postwrn]\n\"POP3\"=\"unclosed\n");
    HiveFile hive(file);
    TRegistry reg(hive);
    StoredSettings settings;
    const SettingsLoad load = LoadSettings(reg, settings, DefaultScrambleKey);
    EXPECT_EQ(load.status, SettingsLoadStatus::Damaged);
    EXPECT_EQ(fs::path(load.movedTo).parent_path(), file.parent_path());
    EXPECT_EQ(fs::path(load.movedTo).filename().string().rfind("user.reg.damaged-", 0), 0u) << load.movedTo;
    EXPECT_TRUE(fs::exists(load.movedTo));
    EXPECT_FALSE(fs::exists(file));
}

// user.reg as an earlier build wrote it (fixtures/user.reg, never to be
// regenerated): every later build must read the same password from it, and
// write the same settings to the same bytes.
TEST_F(HiveFileTest, AStoredFileOfAnEarlierBuildLoadsToTheSamePassword) {
    const fs::path fixture = fs::path(POSTWREN_SETTINGS_FIXTURES) / "user.reg";
    const std::string stored = slurp(fixture);
    ASSERT_FALSE(stored.empty()) << fixture;
    spit(file, stored);
    HiveFile hive(file);
    TRegistry reg(hive);
    StoredSettings loaded;
    ASSERT_EQ(LoadSettings(reg, loaded, DefaultScrambleKey).status, SettingsLoadStatus::Loaded);
    // ⅰ ⅲ (IBM extensions, lead byte 0xFA: the first and third bytes scramble
    // past 0xFF), "Ab1", パス, "zz": thirteen bytes, so the tenth offset is
    // used three times.
    EXPECT_EQ(loaded.password,
              "\xFA\x40\xFA\x42"
              "Ab1"
              "\x83\x70\x83\x58"
              "zz");
    EXPECT_EQ(loaded.host, "\x83\x81\x81\x5B\x83\x8B.example.jp");
    EXPECT_EQ(loaded.user, "taro");
    EXPECT_EQ(loaded.cycle, 15);
    EXPECT_EQ(loaded.mailer, "/usr/bin/sylpheed");

    fs::remove(file);
    ASSERT_TRUE(SaveSettings(reg, loaded, DefaultScrambleKey));
    EXPECT_EQ(slurp(file), stored);
}

}  // namespace
