// Reading sender, subject and date out of a message header: the decoding
// table (charsets, encodings, joined words, folding, address forms) and the
// header as hostile text (controls, broken bytes, sizes).
#include "net/mail_header.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

struct DecodeCase {
    const char* name;
    Lines header;
    MessageHeaders expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class HeaderDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(HeaderDecoding, GivesTheFieldsAsAPersonReadsThem) {
    const MessageHeaders got = ReadMessageHeaders(GetParam().header);
    const MessageHeaders& want = GetParam().expected;
    EXPECT_EQ(got.from, want.from);
    EXPECT_EQ(got.address, want.address);
    EXPECT_EQ(got.subject, want.subject);
    EXPECT_EQ(got.date, want.date);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeaderDecoding,
    ::testing::Values(
        DecodeCase{"PlainAscii",
                   {"From: Alice Example <alice@example.org>\r\n", "Subject: Lunch?\r\n",
                    "Date: Tue, 8 Dec 2026 10:00:00 +0900\r\n"},
                   {"Alice Example", "alice@example.org", "Lunch?", "Tue, 8 Dec 2026 10:00:00 +0900"}},
        DecodeCase{"Utf8B",
                   {"Subject: =?UTF-8?B?5pel5pys6Kqe44Gu5Lu25ZCN?=", "From: a@example.org"},
                   {"a@example.org", "a@example.org", "日本語の件名", ""}},
        DecodeCase{"Iso2022JpName",
                   {"From: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <taro@example.jp>"},
                   {"山田太郎", "taro@example.jp", "", ""}},
        DecodeCase{"ShiftJis", {"Subject: =?Shift_JIS?B?kL+LgY+R?="}, {"", "", "請求書", ""}},
        DecodeCase{"Cp932Alias", {"Subject: =?windows-31j?B?kL+LgY+R?="}, {"", "", "請求書", ""}},
        DecodeCase{"EucJp", {"Subject: =?euc-jp?B?svG1xA==?="}, {"", "", "会議", ""}},
        DecodeCase{"Windows1251", {"Subject: =?windows-1251?B?z/Do4uXy?="}, {"", "", "Привет", ""}},
        DecodeCase{"Windows1252", {"Subject: =?windows-1252?B?Q2Fm6SCWIIA=?="}, {"", "", "Café – €", ""}},
        DecodeCase{"Iso8859_2", {"Subject: =?ISO-8859-2?B?o/NkvA==?="}, {"", "", "Łódź", ""}},
        DecodeCase{"Iso8859_7", {"Subject: =?iso-8859-7?b?w+Xp3A==?="}, {"", "", "Γειά", ""}},
        DecodeCase{"Iso8859_15", {"Subject: =?ISO-8859-15?B?pHVybw==?="}, {"", "", "€uro", ""}},
        DecodeCase{"QWithUnderscoreAndHex", {"Subject: =?ISO-8859-1?Q?Caf=E9_au_lait?="}, {"", "", "Café au lait", ""}},
        DecodeCase{"LanguageSuffix", {"Subject: =?UTF-8*ja?Q?=E4=BB=B6?="}, {"", "", "件", ""}},
        // One character's bytes split between two words.
        DecodeCase{
            "AdjacentWordsJoined", {"Subject: =?UTF-8?B?5pel5g==?= =?UTF-8?B?nKzoqp4=?="}, {"", "", "日本語", ""}},
        DecodeCase{"FoldedBetweenWords",
                   {"Subject: =?UTF-8?Q?=E6=97=A5?=\r\n", "\t=?UTF-8?Q?=E6=9C=AC?= end\r\n"},
                   {"", "", "日本 end", ""}},
        DecodeCase{
            "WordAndTextKeepTheirSpace", {"Subject: Re: =?UTF-8?Q?caf=C3=A9?= time"}, {"", "", "Re: café time", ""}},
        DecodeCase{"FoldedPlainText",
                   {"Subject: a long\r\n", "   subject\r\n", "\tline\r\n"},
                   {"", "", "a long subject line", ""}},
        DecodeCase{"UnknownCharsetStays", {"Subject: =?x-unknown?Q?abc?="}, {"", "", "=?x-unknown?Q?abc?=", ""}},
        DecodeCase{"BadBase64Stays", {"Subject: =?UTF-8?B?@@@@?="}, {"", "", "=?UTF-8?B?@@@@?=", ""}},
        DecodeCase{"QuotedDisplayName",
                   {"From: \"Doe, John \\\"JD\\\"\" <jd@example.com>"},
                   {"Doe, John \"JD\"", "jd@example.com", "", ""}},
        DecodeCase{
            "EncodedWordInQuotes", {"From: \"=?UTF-8?B?5pel5pys?=\" <n@example.jp>"}, {"日本", "n@example.jp", "", ""}},
        DecodeCase{"AddressOnly", {"From: <only@example.org>"}, {"only@example.org", "only@example.org", "", ""}},
        DecodeCase{"BareAddress", {"from: bare@example.org"}, {"bare@example.org", "bare@example.org", "", ""}},
        DecodeCase{"CommentAsName", {"From: old@example.org (Old Style)"}, {"Old Style", "old@example.org", "", ""}},
        DecodeCase{"FirstMailboxOfMany",
                   {"From: one@example.org, two@example.org"},
                   {"one@example.org", "one@example.org", "", ""}},
        DecodeCase{"MissingFromAndSubject", {"Date: today", "X-Other: x"}, {"", "", "", "today"}},
        DecodeCase{"FirstOfARepeatedField", {"Subject: first", "Subject: second"}, {"", "", "first", ""}},
        DecodeCase{"RawIso2022Jp", {"Subject: \x1b$B;3ED\x1b(B"}, {"", "", "山田", ""}},
        DecodeCase{"RawShiftJis",
                   {"Subject: \x8eR\x93"
                    "c"},
                   {"", "", "山田", ""}},
        DecodeCase{"NoFieldName", {": nothing", "Subject first", "Sub ject: spaced"}, {"", "", "", ""}}));

// Header text is the server's: whatever it holds comes out printable, valid
// UTF-8 and bounded.
struct HostileCase {
    const char* name;
    Lines header;
    std::string subject;
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileHeader : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileHeader, ComesOutEscaped) {
    EXPECT_EQ(ReadMessageHeaders(GetParam().header).subject, GetParam().subject);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileHeader,
    ::testing::Values(
        HostileCase{"TerminalEscape", {"Subject: \x1b[31mred\x1b]0;title\x07"}, "\\x1B[31mred\\x1B]0;title\\x07"},
        HostileCase{"EncodedEscape", {"Subject: =?UTF-8?Q?=1B[2J=0D=0Ax?="}, "\\x1B[2J\\x0D\\x0Ax"},
        HostileCase{"Nul", {std::string("Subject: a\0b", 12)}, "a\\x00b"},
        HostileCase{"EncodedNulAndTab", {"Subject: =?UTF-8?Q?a=00=09b?="}, "a\\x00\\x09b"},
        HostileCase{"C1Control", {"Subject: =?UTF-8?Q?=C2=9B31m?="}, "\\xC2\\x9B31m"},
        HostileCase{"Del", {"Subject: a\x7f"}, "a\\x7F"},
        // Neither UTF-8 nor CP932 nor ISO-2022-JP.
        HostileCase{"BrokenBytes", {"Subject: \xff\xfe ok"}, "\\xFF\\xFE ok"},
        HostileCase{"OverlongUtf8", {"Subject: =?UTF-8?Q?=C0=AF?="}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        HostileCase{"BrokenIso2022Jp", {"Subject: =?ISO-2022-JP?Q?=1B$B=FF=FF?="}, "\xEF\xBF\xBD\xEF\xBF\xBD"}));

TEST(HeaderFieldLength, IsCutAtTwoHundredCharactersWithoutSplittingOne) {
    const std::string kanji = "件";
    std::string long_subject;
    for (int i = 0; i < 300; ++i) long_subject += kanji;
    const MessageHeaders headers = ReadMessageHeaders({"Subject: " + long_subject, "From: " + std::string(5000, 'a')});
    std::string expected;
    for (int i = 0; i < 200; ++i) expected += kanji;
    EXPECT_EQ(headers.subject, expected);
    EXPECT_EQ(headers.from, std::string(200, 'a'));
    EXPECT_EQ(headers.address, std::string(200, 'a'));

    // An escape is never cut in half: 199 letters leave no room for "\x01".
    EXPECT_EQ(CleanHeaderField(std::string(199, 'b') + "\x01"), std::string(199, 'b'));
    EXPECT_EQ(CleanHeaderField(std::string(196, 'b') + "\x01"), std::string(196, 'b') + "\\x01");
}

TEST(HeaderFieldLength, ManyFoldedLinesAndAHugeLineStayBounded) {
    Lines header{"Subject: start"};
    for (int i = 0; i < 20000; ++i) header.push_back(" =?UTF-8?B?5pel?=");
    header.push_back("From: " + std::string(1 << 20, 'x') + "@example.org");
    const MessageHeaders headers = ReadMessageHeaders(header);
    EXPECT_TRUE(headers.subject.starts_with("start 日日日"));
    EXPECT_EQ(headers.subject.size(), std::string("start ").size() + 194 * std::string("日").size());
    EXPECT_EQ(headers.from, std::string(200, 'x'));
}

}  // namespace
