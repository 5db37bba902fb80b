#include "core/hive_document.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/hive_values.h"

namespace {

using namespace std::string_literals;
using platform::HiveDocument;
using platform::HiveValue;
using testing_support::expandSz;
using testing_support::sz;

const std::string kKey = "Software\\Brindlework\\Postwrn";

HiveDocument parsed(const std::string& text) {
    auto doc = HiveDocument::Parse(text);
    EXPECT_TRUE(doc.has_value()) << text;
    return doc ? *doc : HiveDocument();
}

TEST(HiveDocument, WritesTheExportLayoutWithAKeySectionForEachParent) {
    HiveDocument doc;
    EXPECT_FALSE(doc.KeyExists(kKey));
    EXPECT_TRUE(doc.KeyExists(""));
    EXPECT_FALSE(doc.SetValue(kKey, "POP3", sz("x")));  // only into existing keys
    ASSERT_TRUE(doc.CreateKey(kKey));
    ASSERT_TRUE(doc.SetValue(kKey, "POP3", sz("pop.example.jp")));
    ASSERT_TRUE(doc.SetValue("software\\BRINDLEWORK\\postwrn", "Cycle", {platform::REG_DWORD, "\x0a\0\0\0"s}));
    EXPECT_EQ(doc.Serialize(),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Brindlework]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Brindlework\\Postwrn]\n\"POP3\"=\"pop.example.jp\"\n"
              "\"Cycle\"=dword:0000000a\n\n");
    EXPECT_FALSE(doc.CreateKey("Software\\\\Empty"));
    EXPECT_FALSE(doc.CreateKey("Soft\x01ware"));
    HiveValue v;
    EXPECT_EQ(doc.Find(kKey, "Nope", v).error, platform::HiveError::NotFound);
}

struct FormCase {
    HiveValue value;
    const char* line;
};

class ValueForm : public testing::TestWithParam<FormCase> {};

TEST_P(ValueForm, IsWrittenReadablyOrInHexAndReadsBackByteExact) {
    HiveDocument doc;
    ASSERT_TRUE(doc.CreateKey("K"));
    ASSERT_TRUE(doc.SetValue("K", "V", GetParam().value));
    const std::string text = doc.Serialize();
    EXPECT_NE(text.find("\n"s + GetParam().line + "\n"), std::string::npos) << text;
    HiveValue back;
    ASSERT_TRUE(parsed(text).Find("K", "v", back));
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
                    FormCase{expandSz("%P%"), R"("V"=hex(2):25,50,25,00)"},
                    FormCase{{platform::REG_DWORD, "\xff\xff\xff\x7f"}, R"("V"=dword:7fffffff)"},
                    FormCase{{platform::REG_DWORD, "\x01\x02"}, R"("V"=hex(4):01,02)"},
                    FormCase{{platform::REG_BINARY, "\0\xff"s}, R"("V"=hex:00,ff)"},
                    FormCase{{11, "\x01"}, R"("V"=hex(b):01)"}, FormCase{{platform::REG_BINARY, ""}, R"("V"=hex:)"}));

TEST(HiveDocument, WrapsLongHexAndReadsItBack) {
    HiveValue big{platform::REG_BINARY, std::string(200, '\0')};
    for (std::size_t i = 0; i < big.data.size(); ++i) big.data[i] = static_cast<char>(i * 7);
    HiveDocument doc;
    ASSERT_TRUE(doc.CreateKey("K"));
    ASSERT_TRUE(doc.SetValue("K", "V", big));
    const std::string text = doc.Serialize();
    std::istringstream lines(text);
    int continued = 0;
    for (std::string l; std::getline(lines, l);) {
        EXPECT_LE(l.size(), 80u) << l;
        continued += !l.empty() && l.back() == '\\';
    }
    EXPECT_GE(continued, 7);
    HiveValue back;
    ASSERT_TRUE(parsed(text).Find("K", "V", back));
    EXPECT_EQ(back, big);
}

TEST(HiveDocument, ReadsForeignTextsAndKeepsWhatItDoesNotKnow) {
    const std::string foreign =
        "\xEF\xBB\xBFREGEDIT4\r\n\r\n; hand-written\r\n[HKEY_LOCAL_MACHINE\\Elsewhere]\r\n\"X\"=\"y\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\software\\brindlework\\postwrn]\r\n\"POP3\"=\"old\"\r\n"
        "\"Multi\"=hex(7):61,00,\\\r\n  62,00,00,00\r\n@=\"default\"\r\n\"Emoji\"=\"\xF0\x9F\x98\x80\"\r\n"
        "\"Twice\"=dword:1\r\n\"twice\"=dword:00000002\r\n";
    HiveDocument doc = parsed(foreign);
    HiveValue v;
    EXPECT_TRUE(doc.KeyExists("Software\\Brindlework"));  // only its subkey has a section
    ASSERT_TRUE(doc.Find(kKey, "Multi", v));
    EXPECT_EQ(v, (HiveValue{7, "a\0b\0\0\0"s}));
    ASSERT_TRUE(doc.Find(kKey, "", v));
    EXPECT_EQ(v, sz("default"));
    ASSERT_TRUE(doc.Find(kKey, "TWICE", v));
    EXPECT_EQ(v, (HiveValue{platform::REG_DWORD, "\x02\0\0\0"s}));  // the later one wins
    // No CP932 form: kept, but not readable.
    EXPECT_EQ(doc.Find(kKey, "Emoji", v).error, platform::HiveError::Unreadable);

    ASSERT_TRUE(doc.SetValue(kKey, "pop3", sz("new")));
    const std::string after = doc.Serialize();
    for (const char* kept : {"REGEDIT4\n; hand-written\n", "[HKEY_LOCAL_MACHINE\\Elsewhere]\n\"X\"=\"y\"\n",
                             "\"POP3\"=\"new\"\n\"Multi\"=hex(7):61,00,\\\n  62,00,00,00\n@=\"default\"\n",
                             "\"Emoji\"=\"\xF0\x9F\x98\x80\"\n"})
        EXPECT_NE(after.find(kept), std::string::npos) << kept << "\nin\n" << after;
    ASSERT_TRUE(parsed(after).Find(kKey, "POP3", v));
    EXPECT_EQ(v, sz("new"));
    EXPECT_EQ(parsed(after).Items(), doc.Items());
}

TEST(HiveDocument, AKeyReadAtOnceAnswersAsSingleReadsDo) {
    // "ア" is 83 41 in CP932 and "ヂ" 83 61: their trail bytes are "A" and "a".
    const HiveDocument doc = parsed(
        "REGEDIT4\n[HKEY_CURRENT_USER\\software\\brindlework\\postwrn]\n\"POP3\"=\"old\"\n@=\"default\"\n"
        "\"Emoji\"=\"\xF0\x9F\x98\x80\"\n\"Twice\"=dword:1\n\"twice\"=dword:00000002\n"
        "\"\xE3\x82\xA2\"=\"katakana a\"\n");
    platform::HiveKeySnapshot key;
    ASSERT_TRUE(doc.ReadKey(kKey, key));
    for (const std::string& name : {"POP3"s, "pop3"s, ""s, "Emoji"s, "TWICE"s, "Nope"s, "\x83\x41"s, "\x83\x61"s}) {
        HiveValue single, fromKey;
        const platform::HiveStatus found = doc.Find(kKey, name, single);
        EXPECT_EQ(key.readValue(name, fromKey), found) << name;
        EXPECT_EQ(fromKey, single) << name;
        EXPECT_EQ(key.valueExists(name).error == platform::HiveError::NotFound,
                  found.error == platform::HiveError::NotFound)
            << name;
    }
    EXPECT_TRUE(doc.ReadKey("Software\\Brindlework", key));  // a key with only a subkey's section
    EXPECT_EQ(key.valueExists("POP3").error, platform::HiveError::NotFound);
    EXPECT_EQ(doc.ReadKey("Software\\Missing", key).error, platform::HiveError::NotFound);
}

TEST(HiveDocument, LargeTextsOfManyKeysOrValuesStillParse) {
    std::string values = "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n";
    std::string keys = "REGEDIT4\n";
    for (int i = 0; i < 45000; ++i) values += "\"v" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
    for (int i = 0; i < 35000; ++i) keys += "[HKEY_CURRENT_USER\\K" + std::to_string(i) + "]\n";
    HiveValue v;
    ASSERT_TRUE(parsed(values).Find("K", "V44999", v));
    EXPECT_EQ(v, (HiveValue{platform::REG_DWORD, "\x09\0\0\0"s}));
    HiveDocument many = parsed(keys);
    EXPECT_TRUE(many.KeyExists("k34999"));
    EXPECT_TRUE(many.SetValue("K34999", "V", sz("x")));
}

class DamagedText : public testing::TestWithParam<std::string> {};

TEST_P(DamagedText, DoesNotParse) {
    EXPECT_FALSE(HiveDocument::Parse(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Texts, DamagedText,
                         testing::Values(""s, "garbage\n"s, "REGEDIT4\n\"V\"=\"outside any key\"\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=\"unclosed\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=\"bad \\n escape\"\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=hex:0g\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=hex:01,\\\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"V\"=dword:123456789\n"s,
                                         "REGEDIT4\n[-HKEY_CURRENT_USER\\K]\n"s, "REGEDIT4\n[HKEY_CURRENT_USER\\K\n"s,
                                         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\0\xff\xfe\n"s));

}  // namespace
