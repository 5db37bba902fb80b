#include <gtest/gtest.h>

#include "core/cp932.h"
#include "core/text.h"

namespace {

struct IntCase {
    const char* text;
    int expected;
};

class StrToIntDefTest : public testing::TestWithParam<IntCase> {};

TEST_P(StrToIntDefTest, ParsesOrGivesDefault) {
    EXPECT_EQ(StrToIntDef(GetParam().text, -7), GetParam().expected) << "text: " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, StrToIntDefTest,
                         testing::Values(IntCase{"3", 3}, IntCase{"0", 0}, IntCase{"-12", -12}, IntCase{"+5", 5},
                                         IntCase{"2147483647", 2147483647}, IntCase{"-2147483648", INT32_MIN},
                                         IntCase{"2147483648", -7}, IntCase{"99999999999999999999", -7},
                                         IntCase{"$1F", 31}, IntCase{"x10", 16}, IntCase{"X10", 16},
                                         IntCase{"0x10", 16}, IntCase{"0XfF", 255}, IntCase{"$FFFFFFFF", -1},
                                         IntCase{"$100000000", -7}, IntCase{"-$10", -16}, IntCase{"", -7},
                                         IntCase{"-", -7}, IntCase{"$", -7}, IntCase{"5\r\n", -7}, IntCase{" 5", -7},
                                         IntCase{"5a", -7}, IntCase{"1.0", -7}));

TEST(Cp932, RoundTripsJapaneseAndRejectsUnmappable) {
    const std::string utf8 = "メールが 12通届いてます。";
    const auto sjis = TryUtf8ToCp932(utf8);
    ASSERT_TRUE(sjis.has_value());
    EXPECT_EQ(sjis->substr(0, 2), "\x83\x81");  // メ
    EXPECT_EQ(TryCp932ToUtf8(*sjis).value(), utf8);
    // NEC extension (circled 1) exists in CP932 but not in plain Shift-JIS.
    EXPECT_EQ(TryUtf8ToCp932("①").value(), "\x87\x40");
    EXPECT_FALSE(TryUtf8ToCp932("😀").has_value());
    EXPECT_EQ(Utf8ToCp932("a😀b"), "a?b");
    EXPECT_FALSE(TryCp932ToUtf8("\x81").has_value());  // a lead byte alone
    EXPECT_EQ(Cp932ToUtf8("a\x81"), "a\xEF\xBF\xBD");
}

// The wire's conversions give every ASCII byte back as iconv does, without
// it, and still convert or refuse anything above.
TEST(Cp932, StrictConversionsKeepAsciiAsIconvDoesAndConvertTheRest) {
    std::string ascii;
    for (int c = 0; c < 0x80; ++c) ascii += static_cast<char>(c);
    EXPECT_EQ(platform::Cp932ToUtf8Strict(ascii), platform::ConvertText("UTF-8", "CP932", ascii));
    EXPECT_EQ(platform::Utf8ToCp932Strict(ascii), platform::ConvertText("CP932", "UTF-8", ascii, {}, 0));
    EXPECT_EQ(platform::Cp932ToUtf8Strict(ascii), ascii);
    EXPECT_EQ(platform::Cp932ToUtf8Strict("pw\x83\x81").value(), "pw\xE3\x83\xA1");  // メ
    EXPECT_EQ(platform::Utf8ToCp932Strict("pw\xE3\x83\xA1").value(), "pw\x83\x81");
    EXPECT_FALSE(platform::Cp932ToUtf8Strict("pw\x81").has_value());  // a lead byte alone
    EXPECT_FALSE(platform::Utf8ToCp932Strict("pw\xFF").has_value());
}

TEST(Cp932, TruncateNeverSplitsADoubleByteCharacter) {
    const std::string s = Sjis("aあい");  // 1 + 2 + 2 bytes
    EXPECT_EQ(TruncateCp932(s, 5), s);
    EXPECT_EQ(TruncateCp932(s, 4), Sjis("aあ"));
    EXPECT_EQ(TruncateCp932(s, 2), "a");
    EXPECT_EQ(TruncateCp932("abc", 0), "");
    EXPECT_EQ(TruncateCp932("ab\x81", 3), "ab\x81");  // a cut lead byte at the end counts as one
}

struct EscapeCase {
    std::string in;
    std::string out;
};

class EscapeControlsTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeControlsTest, LeavesNoByteATerminalWouldAct) {
    EXPECT_EQ(EscapeControls(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EscapeControlsTest,
    testing::Values(EscapeCase{"-ERR Authentication failed.\r\n", "-ERR Authentication failed."},
                    // Only one line end goes; the rest of the text keeps its bytes.
                    EscapeCase{"a\r\n\r\n", "a\\x0D\\x0A"}, EscapeCase{"a\rb\nc", "a\\x0Db\\x0Ac"},
                    // A title change and a screen clear, as a hostile server would send them.
                    EscapeCase{"-ERR \x1b]0;pwned\x07\x1b[2J", "-ERR \\x1B]0;pwned\\x07\\x1B[2J"},
                    EscapeCase{std::string("x\0y", 3), "x\\x00y"}, EscapeCase{"del\x7f", "del\\x7F"},
                    // A double-byte character stays whole, even when its trail byte is '\\' or '@'.
                    EscapeCase{"\x83\x5c\x82\xa0", "\x83\x5c\x82\xa0"},
                    // A lead byte without a trail, and bytes CP932 does not assign.
                    EscapeCase{"\x82", "\\x82"}, EscapeCase{"\x82\x0a", "\\x82"},
                    EscapeCase{"\x80\xa0\xff", "\\x80\\xA0\\xFF"}, EscapeCase{"C:\\mail", "C:\\mail"}));

}  // namespace
