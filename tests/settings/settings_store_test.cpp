#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "core/registry.h"
#include "settings/certificate_pins.h"
#include "tests/support/fake_hive.h"
#include "tests/support/hive_values.h"

namespace {

using namespace std::string_literals;
using platform::HiveValue;
using testing_support::dword;
using testing_support::expandSz;
using testing_support::sz;

const std::string kKey = "Software\\Brindlework\\Postwrn";
constexpr TScrambleKey kKeyTable = {1, 2, 3, 4, 5, 6, 7, 8, 9, 3};

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
    StoredSettings settings;
};

TEST_F(SettingsStore, MissingKeyIsReportedAndTouchesNothing) {
    settings.host = "kept";
    const SettingsLoad load = LoadSettings(registry, settings, kKeyTable);
    EXPECT_EQ(load.status, SettingsLoadStatus::NoKey);
    EXPECT_FALSE(SettingsFound(load));  // the settings are to be asked for
    EXPECT_FALSE(load.intervalReached);
    EXPECT_EQ(settings.host, "kept");
    EXPECT_EQ(hive.createCalls, 0);
    EXPECT_EQ(hive.setAsideCalls, 0);
    EXPECT_TRUE(hive.writes.empty());
}

TEST_F(SettingsStore, ADamagedStoreIsMovedAsideAndAnUnreadableOneIsSaidSo) {
    settings.host = "kept";
    hive.storeError = platform::HiveError::Damaged;
    SettingsLoad load = LoadSettings(registry, settings, kKeyTable);
    EXPECT_EQ(load.status, SettingsLoadStatus::Damaged);
    EXPECT_EQ(load.movedTo, "user.reg.damaged-1");
    EXPECT_FALSE(SettingsFound(load));
    EXPECT_EQ(hive.setAsideCalls, 1);
    EXPECT_EQ(settings.host, "kept");
    EXPECT_FALSE(load.intervalReached);
    // Moved aside: the next load finds no key, and a save starts afresh.
    EXPECT_EQ(LoadSettings(registry, settings, kKeyTable).status, SettingsLoadStatus::NoKey);

    hive.storeError = platform::HiveError::Unreadable;
    load = LoadSettings(registry, settings, kKeyTable);
    EXPECT_EQ(load.status, SettingsLoadStatus::StoreUnreadable);
    EXPECT_FALSE(SettingsFound(load));
    EXPECT_EQ(hive.setAsideCalls, 1);  // what cannot be read is never moved
}

TEST_F(SettingsStore, SaveWritesAllFiveInOneChangeAndLoadReadsThemBack) {
    settings.host = "pop.example.jp";
    // The first byte (0xFF + 1) and the thirteenth (0xFD + 3) scramble to zero.
    settings.password = "\xFFs3cret-long\xFD";
    settings.cycle = 15;
    ASSERT_TRUE(SaveSettings(registry, settings, kKeyTable));
    EXPECT_EQ(hive.commits, 1);
    EXPECT_EQ(hive.writes, (std::vector<std::string>{kKey + "\\POP3", kKey + "\\UserID", kKey + "\\Password",
                                                     kKey + "\\Cycle", kKey + "\\Mailer"}));
    EXPECT_EQ(*hive.find(kKey, "UserID"), sz(""));  // empty texts are stored too
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(15));
    EXPECT_EQ(hive.find(kKey, "Password")->data, "\0u6gwk{5urqj\0\0"s);
    EXPECT_FALSE(registry.HasCurrentKey());

    StoredSettings loaded;
    const SettingsLoad load = LoadSettings(registry, loaded, kKeyTable);
    EXPECT_EQ(load.status, SettingsLoadStatus::Loaded);
    EXPECT_TRUE(SettingsFound(load));
    EXPECT_TRUE(load.intervalReached);
    EXPECT_EQ(loaded, settings);  // the password whole, though its first scrambled byte is zero
    EXPECT_EQ(CheckIntervalOf(loaded), 15 * 60000);
}

TEST_F(SettingsStore, SaveThatCannotCreateTheKeyWritesNothingAndSaysNothing) {
    hive.failCreate = true;
    bool saved = true;
    EXPECT_NO_THROW(saved = SaveSettings(registry, settings, kKeyTable));
    EXPECT_FALSE(saved);
    EXPECT_TRUE(hive.writes.empty());
    EXPECT_FALSE(registry.HasCurrentKey());
}

TEST_F(SettingsStore, AFailedSaveStoresNoneOfItsValues) {
    hive.createKey(kKey);
    hive.put(kKey, "POP3", sz("old.example.jp"));
    hive.failWriteOf = {"Cycle"};
    settings.host = "new.example.jp";
    try {
        SaveSettings(registry, settings, kKeyTable);
        FAIL() << "no exception";
    } catch (const ERegistryException& e) {
        // The save fails as a whole; the message names its first value.
        EXPECT_EQ(e.Message(), Sjis("'POP3' の設定に失敗しました"));
    }
    EXPECT_TRUE(hive.writes.empty());
    EXPECT_EQ(*hive.find(kKey, "POP3"), sz("old.example.jp"));
    EXPECT_FALSE(registry.HasCurrentKey());
}

struct CycleCase {
    std::optional<std::uint32_t> stored;
    std::int32_t minutes;
};

class CycleLoad : public SettingsStore, public testing::WithParamInterface<CycleCase> {};

TEST_P(CycleLoad, TakesTheLow16BitsSignedAndAlwaysReachesTheInterval) {
    hive.createKey(kKey);
    if (GetParam().stored)
        hive.put(kKey, "Cycle", dword(*GetParam().stored));
    const SettingsLoad load = LoadSettings(registry, settings, kKeyTable);
    EXPECT_TRUE(load.intervalReached);
    EXPECT_EQ(settings.cycle, GetParam().minutes);
    EXPECT_EQ(CheckIntervalOf(settings), GetParam().minutes * 60000);
}

INSTANTIATE_TEST_SUITE_P(Values, CycleLoad,
                         testing::Values(CycleCase{65536 + 4464, 4464}, CycleCase{1, 1}, CycleCase{100, 100},
                                         CycleCase{0, 0}, CycleCase{std::nullopt, 0}, CycleCase{0xFFFF, -1},
                                         CycleCase{0x12348000, -32768}));

TEST_F(SettingsStore, MissingValuesKeepWhatTheSettingsHeldAndExpandStringsAreLiteral) {
    hive.createKey(kKey);
    hive.put(kKey, "POP3", expandSz("%MAILHOST%.example.jp"));
    hive.put(kKey, "Mailer", sz("C:\\mail.exe\0ignored"s));  // a string read ends at its first zero
    settings.user = "taro";
    settings.password = "pw";
    EXPECT_EQ(LoadSettings(registry, settings, kKeyTable).status, SettingsLoadStatus::Loaded);
    EXPECT_EQ(settings.host, "%MAILHOST%.example.jp");
    EXPECT_EQ(settings.user, "taro");
    EXPECT_EQ(settings.password, "pw");
    EXPECT_EQ(settings.mailer, "C:\\mail.exe");
}

TEST_F(SettingsStore, ALoadReadsTheStoreOnce) {
    hive.createKey(kKey);
    for (const char* n : {"POP3", "UserID", "Password", "Mailer"}) hive.put(kKey, n, sz(n));
    hive.put(kKey, "Cycle", dword(7));
    hive.put(kKey, "PasswordInKeyring", dword(0));
    hive.reads = 0;
    ASSERT_EQ(LoadSettings(registry, settings, kKeyTable).status, SettingsLoadStatus::Loaded);
    EXPECT_EQ(hive.reads, 1);
    EXPECT_EQ(settings.mailer, "Mailer");
    EXPECT_EQ(settings.cycle, 7);
}

TEST_F(SettingsStore, ASaveReadsTheStoreOnlyInsideItsOneChange) {
    StoredSettings s{"pop.example.jp", "taro", "pw", 10, ""};
    hive.reads = 0;
    ASSERT_TRUE(SaveSettings(registry, s, kKeyTable));
    EXPECT_EQ(hive.reads, 0);
    EXPECT_EQ(hive.commits, 1);
    // No keyring mark for a store that never had one; a mark that was there is taken back.
    EXPECT_EQ(hive.find(kKey, "PasswordInKeyring"), nullptr);
    hive.put(kKey, "PasswordInKeyring", dword(1));
    ASSERT_TRUE(SaveSettings(registry, s, kKeyTable));
    EXPECT_EQ(*hive.find(kKey, "PasswordInKeyring"), dword(0));
    EXPECT_EQ(hive.reads, 0);
}

struct BadValueCase {
    const char* name;
    HiveValue value;
    const char* message;    // UTF-8
    std::size_t valuesSet;  // how many values, in load order, were set before the failure
    bool intervalReached;
};

class BadValueLoad : public SettingsStore, public testing::WithParamInterface<BadValueCase> {};

TEST_P(BadValueLoad, EndsTheLoadAtThatValueAndNamesIt) {
    const BadValueCase& c = GetParam();
    hive.createKey(kKey);
    for (const char* n : {"POP3", "UserID", "Password", "Mailer"}) hive.put(kKey, n, sz(n));
    hive.put(kKey, "Cycle", dword(7));
    hive.put(kKey, c.name, c.value);
    if (c.value.type == platform::REG_NONE)
        hive.failReadOf = {c.name};
    const SettingsLoad load = LoadSettings(registry, settings, kKeyTable);
    EXPECT_EQ(load.status, SettingsLoadStatus::UnreadableValue);
    EXPECT_EQ(load.valueName, c.name);
    EXPECT_EQ(load.message, Sjis(c.message));
    try {
        SettingsFound(load);
        ADD_FAILURE() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), Sjis(c.message));
    }
    const std::vector<bool> set = {!settings.host.empty(), !settings.user.empty(), !settings.password.empty(),
                                   settings.cycle != 0, !settings.mailer.empty()};
    std::vector<bool> expected(5, false);
    std::fill_n(expected.begin(), c.valuesSet, true);
    EXPECT_EQ(set, expected);
    EXPECT_EQ(load.intervalReached, c.intervalReached);
    EXPECT_FALSE(registry.HasCurrentKey());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadValueLoad,
    testing::Values(BadValueCase{"POP3", dword(1), "'POP3' のデータ型が不正です", 0, false},
                    BadValueCase{"Cycle", sz("5"), "'Cycle' のデータ型が不正です", 3, false},
                    BadValueCase{"Mailer", {platform::REG_BINARY, "x"}, "'Mailer' のデータ型が不正です", 4, true},
                    BadValueCase{"AnnounceNewMail", sz("1"), "'AnnounceNewMail' のデータ型が不正です", 5, true},
                    BadValueCase{"UserID", {platform::REG_NONE, ""}, "'UserID' の取得に失敗しました", 1, false},
                    BadValueCase{
                        "Cycle", {platform::REG_DWORD, "\x01\x02"}, "'Cycle' の取得に失敗しました", 3, false}));

}  // namespace

namespace pins {

const char kPin[] = "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";

TEST(CertificatePins, OnePerServerBesideTheSettingsWhichKeepTheirBytes) {
    FakeHive hive;
    TRegistry registry{hive};
    hive.put(kKey, "POP3", sz("pop3s://Pop.Example.TEST"));
    EXPECT_EQ(CertificatePinName("Pop.Example.TEST", 995), "pop.example.test:995");
    EXPECT_EQ(CertificatePinName("::1", 1995), "[::1]:1995");

    ASSERT_TRUE(SaveCertificatePin(registry, "Pop.Example.TEST", 995, kPin));
    EXPECT_EQ(LoadCertificatePin(registry, "pop.example.test", 995), kPin);
    EXPECT_EQ(LoadCertificatePin(registry, "pop.example.test", 1995), "");
    EXPECT_EQ(LoadCertificatePin(registry, "other.example.test", 995), "");
    const platform::HiveValue* stored = hive.find(kKey + "\\TrustedCertificates", "pop.example.test:995");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(*stored, sz(kPin));
    EXPECT_EQ(*hive.find(kKey, "POP3"), sz("pop3s://Pop.Example.TEST"));

    // A value of another type trusts nothing, and raises nothing.
    hive.put(kKey + "\\TrustedCertificates", "[::1]:995", dword(7));
    EXPECT_EQ(LoadCertificatePin(registry, "::1", 995), "");
}

}  // namespace pins
