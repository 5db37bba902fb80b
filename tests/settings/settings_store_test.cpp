#include "app/settings_store.h"

#include <gtest/gtest.h>

#include <optional>

#include "framework/registry.h"
#include "tests/settings/settings_fakes.h"

namespace {

using namespace std::string_literals;
using platform::HiveValue;

const std::string kKey = "Software\\Brindlework\\Postwrn";
constexpr TScrambleKey kKeyTable = {1, 2, 3, 4, 5, 6, 7, 8, 9, 3};

HiveValue sz(const std::string& text, std::uint32_t type = platform::REG_SZ) {
    return {type, text + '\0'};
}
HiveValue dword(std::uint32_t n) {
    return {platform::REG_DWORD, {char(n & 0xFF), char(n >> 8 & 0xFF), char(n >> 16 & 0xFF), char(n >> 24)}};
}

TEST(Scramble, ShiftsEachByteByItsPositionsOffsetAndWraps) {
    // Byte 11 and 12 take the tenth offset (3); 0xFF + 1 wraps to 0x00.
    EXPECT_EQ(ScramblePassword("aaaaaaaaaaaa", kKeyTable), "bcdefghijddd");
    EXPECT_EQ(ScramblePassword("\xFF\x00\xFE"s, kKeyTable), "\x00\x02\x01"s);
    EXPECT_EQ(UnscramblePassword("\x00\x02\x01"s, kKeyTable), "\xFF\x00\xFE"s);
    EXPECT_EQ(ScramblePassword("", kKeyTable), "");
    const AnsiString japanese = Sjis("パスワード");  // double-byte characters are two positions
    EXPECT_EQ(ScramblePassword(japanese, kKeyTable).size(), japanese.size());
    EXPECT_EQ(UnscramblePassword(ScramblePassword(japanese, kKeyTable), kKeyTable), japanese);
    for (const std::int32_t k : DefaultScrambleKey) EXPECT_TRUE(k >= 0 && k <= 9) << k;
}

class SettingsStore : public testing::Test {
protected:
    FakeHive hive;
    TRegistry registry{hive};
    RecordingTarget target;
};

TEST_F(SettingsStore, MissingKeyShowsTheDialogAndTouchesNothing) {
    target.host = "kept";
    LoadSettings(registry, target, kKeyTable);
    EXPECT_EQ(target.dialogShown, 1);
    EXPECT_EQ(target.host, "kept");
    EXPECT_FALSE(target.interval.has_value());
    EXPECT_EQ(hive.createCalls, 0);
    EXPECT_TRUE(hive.writes.empty());
}

TEST_F(SettingsStore, SaveWritesAllFiveInOrderAndLoadReadsThemBack) {
    target.host = "pop.example.jp";
    // The first byte (0xFF + 1) and the thirteenth (0xFD + 3) scramble to zero.
    target.password = "\xFFs3cret-long\xFD";
    target.cycle = 15;
    SaveSettings(registry, target, kKeyTable);
    EXPECT_EQ(hive.writes, (std::vector<std::string>{kKey + "\\POP3", kKey + "\\UserID", kKey + "\\Password",
                                                     kKey + "\\Cycle", kKey + "\\Mailer"}));
    EXPECT_EQ(*hive.find(kKey, "UserID"), sz(""));  // empty texts are stored too
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(15));
    EXPECT_EQ(hive.find(kKey, "Password")->data, "\0u6gwk{5urqj\0\0"s);
    EXPECT_FALSE(registry.HasCurrentKey());

    RecordingTarget loaded;
    LoadSettings(registry, loaded, kKeyTable);
    EXPECT_EQ(loaded.dialogShown, 0);
    EXPECT_EQ(loaded.host, target.host);
    EXPECT_EQ(loaded.user, "");
    EXPECT_EQ(loaded.password, target.password);  // whole, though its first scrambled byte is zero
    EXPECT_EQ(loaded.cycle, 15);
    EXPECT_EQ(loaded.interval, 15 * 60000);
}

TEST_F(SettingsStore, SaveThatCannotOpenTheKeyWritesNothingAndSaysNothing) {
    hive.failCreate = true;
    EXPECT_NO_THROW(SaveSettings(registry, target, kKeyTable));
    EXPECT_TRUE(hive.writes.empty());
}

TEST_F(SettingsStore, FailedWriteStopsTheSaveAtThatValue) {
    hive.failWriteOf = {"Password"};
    try {
        SaveSettings(registry, target, kKeyTable);
        FAIL() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), Sjis("'Password' の設定に失敗しました"));
    }
    EXPECT_EQ(hive.writes, (std::vector<std::string>{kKey + "\\POP3", kKey + "\\UserID"}));
    EXPECT_FALSE(registry.HasCurrentKey());
}

struct CycleCase {
    std::optional<std::uint32_t> stored;
    std::int32_t minutes;
};

class CycleLoad : public SettingsStore, public testing::WithParamInterface<CycleCase> {};

TEST_P(CycleLoad, TakesTheLow16BitsSignedAndAlwaysSetsTheInterval) {
    hive.createKey(kKey);
    if (GetParam().stored)
        hive.put(kKey, "Cycle", dword(*GetParam().stored));
    LoadSettings(registry, target, kKeyTable);
    EXPECT_EQ(target.cycle, GetParam().minutes);
    EXPECT_EQ(target.interval, GetParam().minutes * 60000);
}

INSTANTIATE_TEST_SUITE_P(Values, CycleLoad,
                         testing::Values(CycleCase{65536 + 4464, 4464}, CycleCase{1, 1}, CycleCase{100, 100},
                                         CycleCase{0, 0}, CycleCase{std::nullopt, 0}, CycleCase{0xFFFF, -1},
                                         CycleCase{0x12348000, -32768}));

TEST_F(SettingsStore, MissingValuesKeepWhatTheSettingsHeldAndExpandStringsAreLiteral) {
    hive.createKey(kKey);
    hive.put(kKey, "POP3", sz("%MAILHOST%.example.jp", platform::REG_EXPAND_SZ));
    hive.put(kKey, "Mailer", sz("C:\\mail.exe\0ignored"s));  // a string read ends at its first zero
    target.user = "taro";
    target.password = "pw";
    LoadSettings(registry, target, kKeyTable);
    EXPECT_EQ(target.host, "%MAILHOST%.example.jp");
    EXPECT_EQ(target.user, "taro");
    EXPECT_EQ(target.password, "pw");
    EXPECT_EQ(target.mailer, "C:\\mail.exe");
}

struct BadValueCase {
    const char* name;
    HiveValue value;
    const char* message;    // UTF-8
    std::size_t valuesSet;  // how many values, in load order, were set before the failure
    bool intervalSet;
};

class BadValueLoad : public SettingsStore, public testing::WithParamInterface<BadValueCase> {};

TEST_P(BadValueLoad, EndsTheLoadAtThatValueWithItsMessage) {
    const BadValueCase& c = GetParam();
    hive.createKey(kKey);
    for (const char* n : {"POP3", "UserID", "Password", "Mailer"}) hive.put(kKey, n, sz(n));
    hive.put(kKey, "Cycle", dword(7));
    hive.put(kKey, c.name, c.value);
    if (c.value.type == platform::REG_NONE)
        hive.failReadOf = {c.name};
    try {
        LoadSettings(registry, target, kKeyTable);
        FAIL() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), Sjis(c.message));
    }
    const std::vector<bool> set = {!target.host.empty(), !target.user.empty(), !target.password.empty(),
                                   target.cycle != 0, !target.mailer.empty()};
    std::vector<bool> expected(5, false);
    std::fill_n(expected.begin(), c.valuesSet, true);
    EXPECT_EQ(set, expected);
    EXPECT_EQ(target.interval.has_value(), c.intervalSet);
    EXPECT_FALSE(registry.HasCurrentKey());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadValueLoad,
    testing::Values(BadValueCase{"POP3", dword(1), "'POP3' のデータ型が不正です", 0, false},
                    BadValueCase{"Cycle", sz("5"), "'Cycle' のデータ型が不正です", 3, false},
                    BadValueCase{"Mailer", {platform::REG_BINARY, "x"}, "'Mailer' のデータ型が不正です", 4, true},
                    BadValueCase{"UserID", {platform::REG_NONE, ""}, "'UserID' の取得に失敗しました", 1, false},
                    BadValueCase{
                        "Cycle", {platform::REG_DWORD, "\x01\x02"}, "'Cycle' の取得に失敗しました", 3, false}));

}  // namespace
