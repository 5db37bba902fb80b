#include "settings/keyring_password.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/registry.h"
#include "tests/support/fake_hive.h"
#include "tests/support/fake_secret_store.h"
#include "tests/support/hive_values.h"
#include "tests/support/recording_log.h"

namespace {

using platform::SecretStatus;
using testing_support::dword;
using testing_support::sz;

const std::string kKey = "Software\\Brindlework\\Postwrn";

class KeyringPassword : public testing::Test {
protected:
    KeyringPassword() {
        keyring.running = true;
        settings.host = Sjis("メール.example.jp");
        settings.user = "taro";
        settings.password = Sjis("パスⅰ");  // 0x83 0x70 0x83 0x58 0xFA 0x40
        settings.cycle = 15;
        settings.mailer = "/usr/bin/mailer";
    }

    PasswordKeeper keeper() { return PasswordKeeper(keyring, log); }
    platform::SecretAttributes attributes(const char* user = "taro") const {
        return KeyringAttributes(settings.host, user);
    }
    // What the program would have stored before it knew the keyring.
    void storeScrambled() {
        TRegistry plain(hive);
        ASSERT_TRUE(SaveSettings(plain, settings, DefaultScrambleKey));
        hive.writes.clear();
    }
    StoredSettings loadFresh(PasswordKeeper& k, PasswordKeeper::Move move = PasswordKeeper::Move::IntoKeyring) {
        StoredSettings loaded;
        EXPECT_EQ(k.Load(registry, loaded, DefaultScrambleKey, move).status, SettingsLoadStatus::Loaded);
        return loaded;
    }

    FakeHive hive;
    TRegistry registry{hive};
    FakeSecretStore keyring;
    StoredSettings settings;
    RecordingLog log;
    std::vector<std::string>& notes = log.lines;
};

TEST_F(KeyringPassword, ASaveWithAKeyringKeepsThePasswordThereAndOutOfTheStore) {
    PasswordKeeper k = keeper();
    ASSERT_TRUE(k.Save(registry, settings, DefaultScrambleKey));

    ASSERT_EQ(keyring.items.size(), 1u);
    EXPECT_EQ(keyring.items[0].label, "Postwren: taro@メール.example.jp");
    EXPECT_EQ(
        keyring.items[0].attributes,
        (platform::SecretAttributes{{"application", "postwren"}, {"server", "メール.example.jp"}, {"user", "taro"}}));
    EXPECT_EQ(keyring.items[0].secret, "パスⅰ");  // UTF-8 in the keyring
    EXPECT_EQ(*hive.find(kKey, "Password"), sz(""));
    EXPECT_EQ(*hive.find(kKey, "PasswordInKeyring"), dword(1));
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(15));
    EXPECT_EQ(hive.commits, 1);  // the settings and the mark in one change
    EXPECT_TRUE(k.InKeyring());

    // A later start: the store says where to look, each check looks there.
    PasswordKeeper later = keeper();
    const StoredSettings loaded = loadFresh(later);
    EXPECT_EQ(loaded.password, "");
    EXPECT_TRUE(loaded.passwordInKeyring);
    EXPECT_EQ(later.PasswordForCheck(""), settings.password);
    EXPECT_EQ(later.PasswordForCheck(""), settings.password);
    EXPECT_EQ(keyring.lookups, 1 + 2);  // the read-back of the save, then one per check
    EXPECT_TRUE(notes.empty());
}

TEST_F(KeyringPassword, WithoutAKeyringTheStoreIsWrittenAsItAlwaysWasAndThatIsSaidOnce) {
    keyring.running = false;
    FakeHive before;
    TRegistry plain(before);
    ASSERT_TRUE(SaveSettings(plain, settings, DefaultScrambleKey));

    PasswordKeeper k = keeper();
    ASSERT_TRUE(k.Save(registry, settings, DefaultScrambleKey));
    for (const char* name : {"POP3", "UserID", "Password", "Cycle", "Mailer"})
        EXPECT_EQ(*hive.find(kKey, name), *before.find(kKey, name)) << name;
    EXPECT_EQ(hive.find(kKey, "PasswordInKeyring"), nullptr);
    EXPECT_EQ(hive.writes.size(), 5u);

    ASSERT_TRUE(k.Save(registry, settings, DefaultScrambleKey));
    loadFresh(k);
    EXPECT_EQ(k.PasswordForCheck(settings.password), settings.password);
    EXPECT_EQ(keyring.lookups, 0);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("no keyring"), std::string::npos) << notes[0];
}

struct RefusalCase {
    const char* name;
    bool locked;
    SecretStatus storeFails;
    SecretStatus lookupFails;
    bool garbles;
};

class KeyringRefusal : public KeyringPassword, public testing::WithParamInterface<RefusalCase> {
protected:
    void refuse() {
        keyring.locked = GetParam().locked;
        keyring.storeFails = GetParam().storeFails;
        keyring.lookupFails = GetParam().lookupFails;
        keyring.garbles = GetParam().garbles;
    }
};

TEST_P(KeyringRefusal, ASaveKeepsThePasswordScrambledInTheStoreAndTakesTheMarkBack) {
    // Saved once with the keyring; now it does not take the new password.
    PasswordKeeper k = keeper();
    ASSERT_TRUE(k.Save(registry, settings, DefaultScrambleKey));
    refuse();
    settings.password = "n3w-secret";
    ASSERT_TRUE(k.Save(registry, settings, DefaultScrambleKey));
    EXPECT_EQ(hive.find(kKey, "Password")->data, ScramblePassword("n3w-secret", DefaultScrambleKey) + '\0');
    EXPECT_EQ(*hive.find(kKey, "PasswordInKeyring"), dword(0));
    EXPECT_FALSE(k.InKeyring());
    EXPECT_EQ(k.PasswordForCheck("n3w-secret"), "n3w-secret");
    EXPECT_EQ(notes.size(), 1u);
}

TEST_P(KeyringRefusal, AStartLeavesAStoredPasswordWhereItIs) {
    storeScrambled();
    refuse();
    PasswordKeeper k = keeper();
    const StoredSettings loaded = loadFresh(k);
    EXPECT_EQ(loaded.password, settings.password);
    EXPECT_TRUE(hive.writes.empty());
    EXPECT_EQ(hive.find(kKey, "Password")->data, ScramblePassword(settings.password, DefaultScrambleKey) + '\0');
    EXPECT_FALSE(k.InKeyring());
}

INSTANTIATE_TEST_SUITE_P(
    Keyrings, KeyringRefusal,
    testing::Values(RefusalCase{"Locked", true, SecretStatus::Ok, SecretStatus::Ok, false},
                    RefusalCase{"StoreFails", false, SecretStatus::Failed, SecretStatus::Ok, false},
                    RefusalCase{"ItemNotThereAfterwards", false, SecretStatus::Ok, SecretStatus::NotFound, false},
                    RefusalCase{"GivesBackSomethingElse", false, SecretStatus::Ok, SecretStatus::Ok, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KeyringPassword, AStartMovesAStoredPasswordIntoTheKeyringAndThenEmptiesItInTheStore) {
    storeScrambled();
    PasswordKeeper k = keeper();
    const StoredSettings loaded = loadFresh(k);
    EXPECT_EQ(loaded.password, settings.password);  // this run keeps using it
    ASSERT_NE(keyring.find(attributes()), nullptr);
    EXPECT_EQ(keyring.find(attributes())->secret, "パスⅰ");
    // Stored and read back before the store changes; then only the two
    // values change, in one step.
    EXPECT_EQ(keyring.lookups, 1);
    EXPECT_EQ(hive.writes, (std::vector<std::string>{kKey + "\\Password", kKey + "\\PasswordInKeyring"}));
    EXPECT_EQ(hive.commits, 2);
    EXPECT_EQ(*hive.find(kKey, "Password"), sz(""));
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(15));
    EXPECT_TRUE(k.InKeyring());

    // The command-line check only reads.
    FakeHive other;
    TRegistry otherRegistry(other);
    ASSERT_TRUE(SaveSettings(otherRegistry, settings, DefaultScrambleKey));
    keyring.items.clear();
    PasswordKeeper reader = keeper();
    StoredSettings read;
    reader.Load(otherRegistry, read, DefaultScrambleKey, PasswordKeeper::Move::Leave);
    EXPECT_EQ(read.password, settings.password);
    EXPECT_TRUE(keyring.items.empty());
    EXPECT_FALSE(reader.InKeyring());
}

TEST_F(KeyringPassword, ACheckThatCannotReadTheKeyringFailsWithTheMessageAndTheReason) {
    PasswordKeeper k = keeper();
    ASSERT_TRUE(k.Save(registry, settings, DefaultScrambleKey));
    const auto reasonOf = [&k]() {
        try {
            k.PasswordForCheck("stale");
        } catch (const EKeyringError& e) {
            EXPECT_EQ(e.Message(), Sjis("キーリングからパスワードを読めませんでした"));
            return e.Reason();
        }
        return SecretStatus::Ok;
    };
    keyring.locked = true;
    EXPECT_EQ(reasonOf(), SecretStatus::Locked);
    keyring.locked = false;
    keyring.items.clear();
    EXPECT_EQ(reasonOf(), SecretStatus::NotFound);
    keyring.running = false;
    EXPECT_EQ(reasonOf(), SecretStatus::NoService);
    // A secret that has no CP932 form cannot be sent as the engine sends.
    keyring.running = true;
    keyring.Store("", attributes(), "\xF0\x9F\x94\x91");
    EXPECT_EQ(reasonOf(), SecretStatus::Failed);
}

TEST_F(KeyringPassword, ConfirmingADialogThatCouldNotBeFilledKeepsTheKeyringsPassword) {
    {
        PasswordKeeper first = keeper();
        ASSERT_TRUE(first.Save(registry, settings, DefaultScrambleKey));
    }
    PasswordKeeper k = keeper();
    StoredSettings shown = loadFresh(k);
    keyring.locked = true;
    EXPECT_THROW(k.PasswordForCheck(shown.password), EKeyringError);
    keyring.locked = false;
    // OK with the empty password field: only the interval changed.
    shown.cycle = 30;
    ASSERT_TRUE(k.Save(registry, shown, DefaultScrambleKey));
    EXPECT_EQ(keyring.find(attributes())->secret, "パスⅰ");
    EXPECT_EQ(*hive.find(kKey, "PasswordInKeyring"), dword(1));
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(30));
    EXPECT_EQ(k.PasswordForCheck(""), settings.password);

    // Once it was read, an emptied field is what the user wants stored.
    ASSERT_TRUE(k.Save(registry, shown, DefaultScrambleKey));
    EXPECT_EQ(keyring.find(attributes())->secret, "");
}

TEST_F(KeyringPassword, ANewUserIDLeavesNoItemUnderTheOldOne) {
    PasswordKeeper k = keeper();
    ASSERT_TRUE(k.Save(registry, settings, DefaultScrambleKey));
    settings.user = "hanako";
    ASSERT_TRUE(k.Save(registry, settings, DefaultScrambleKey));
    ASSERT_EQ(keyring.items.size(), 1u);
    EXPECT_EQ(keyring.items[0].attributes, attributes("hanako"));
    EXPECT_EQ(keyring.items[0].label, "Postwren: hanako@メール.example.jp");
    EXPECT_EQ(k.PasswordForCheck(""), settings.password);
}

}  // namespace
