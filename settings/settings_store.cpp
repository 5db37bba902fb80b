#include "settings/settings_store.h"

#include "core/registry.h"

namespace {

std::int32_t offsetAt(const TScrambleKey& key, std::size_t position) {
    return key[position < key.size() ? position : key.size() - 1];
}

// Adds (or takes away) each position's offset, modulo 256.
AnsiString shift(const AnsiString& text, const TScrambleKey& key, bool add) {
    AnsiString out;
    out.reserve(text.size());
    for (std::size_t p = 0; p < text.size(); ++p) {
        const auto byte = static_cast<std::uint32_t>(static_cast<unsigned char>(text[p]));
        const auto k = static_cast<std::uint32_t>(offsetAt(key, p));
        out += static_cast<char>((add ? byte + k : byte - k) & 0xFF);
    }
    return out;
}

// Closes the key however the walk ends.
class KeyCloser {
public:
    explicit KeyCloser(TRegistry& registry) : registry_(registry) {}
    ~KeyCloser() { registry_.CloseKey(); }
    KeyCloser(const KeyCloser&) = delete;
    KeyCloser& operator=(const KeyCloser&) = delete;

private:
    TRegistry& registry_;
};

// The key could not be opened: say why.
SettingsLoad keyNotOpened(TRegistry& registry) {
    SettingsLoad load;
    const platform::HiveStatus why = registry.LastStatus();
    switch (why.error) {
        case platform::HiveError::Damaged:
            load.status = SettingsLoadStatus::Damaged;
            // Kept for whoever wants to look at it; the next save starts afresh.
            registry.SetAsideDamagedHive(load.movedTo);
            break;
        case platform::HiveError::Unreadable:
            load.status = SettingsLoadStatus::StoreUnreadable;
            load.systemError = why.systemError;
            break;
        default:
            load.status = SettingsLoadStatus::NoKey;
            break;
    }
    return load;
}

}  // namespace

AnsiString ScramblePassword(const AnsiString& text, const TScrambleKey& key) {
    return shift(text, key, true);
}

AnsiString UnscramblePassword(const AnsiString& text, const TScrambleKey& key) {
    return shift(text, key, false);
}

std::int32_t CheckIntervalOf(const StoredSettings& settings) {
    const std::int64_t interval = static_cast<std::int64_t>(settings.cycle) * kMillisecondsPerMinute;
    return static_cast<std::int32_t>(interval);
}

SettingsLoad LoadSettings(TRegistry& registry, StoredSettings& settings, const TScrambleKey& key) {
    registry.SetRootKey(HKEY_CURRENT_USER);
    registry.SetAccess(KEY_ALL_ACCESS);
    KeyCloser closer(registry);
    // Every value from one reading of the store: a save by another process
    // meanwhile is in all of them or in none.
    if (!registry.OpenKeySnapshot(kSettingsKeyPath))
        return keyNotOpened(registry);
    SettingsLoad load;
    const char* reading = kValuePOP3;
    try {
        if (registry.ValueExists(kValuePOP3))
            settings.host = registry.ReadString(kValuePOP3);
        reading = kValueUserID;
        if (registry.ValueExists(kValueUserID))
            settings.user = registry.ReadString(kValueUserID);
        // A scrambled byte may be zero, so the password is read to the end of
        // its stored size rather than to its first zero.
        reading = kValuePassword;
        if (registry.ValueExists(kValuePassword))
            settings.password = UnscramblePassword(registry.ReadStringBytes(kValuePassword), key);
        reading = kValueCycle;
        if (registry.ValueExists(kValueCycle)) {
            const auto raw = static_cast<std::uint32_t>(registry.ReadInteger(kValueCycle));
            // Only the low 16 bits count, as a signed number.
            settings.cycle = static_cast<std::int16_t>(static_cast<std::uint16_t>(raw & 0xFFFF));
            load.cycleStored = true;
        }
        load.intervalReached = true;
        reading = kValueMailer;
        if (registry.ValueExists(kValueMailer))
            settings.mailer = registry.ReadString(kValueMailer);
        reading = kValuePasswordInKeyring;
        if (registry.ValueExists(kValuePasswordInKeyring))
            settings.passwordInKeyring = registry.ReadInteger(kValuePasswordInKeyring) != 0;
        reading = kValueAnnounceNewMail;
        if (registry.ValueExists(kValueAnnounceNewMail))
            settings.announceNewMail = registry.ReadInteger(kValueAnnounceNewMail) != 0;
    } catch (const ERegistryException& e) {
        load.status = SettingsLoadStatus::UnreadableValue;
        load.valueName = reading;
        load.message = e.Message();
    }
    return load;
}

bool SettingsFound(const SettingsLoad& load) {
    switch (load.status) {
        case SettingsLoadStatus::Loaded:
            return true;
        case SettingsLoadStatus::NoKey:
        case SettingsLoadStatus::Damaged:
        case SettingsLoadStatus::StoreUnreadable:
            return false;
        case SettingsLoadStatus::UnreadableValue:
            break;
    }
    throw ERegistryException(load.message);
}

bool SaveSettings(TRegistry& registry, const StoredSettings& settings, const TScrambleKey& key) {
    registry.SetRootKey(HKEY_CURRENT_USER);
    registry.SetAccess(KEY_ALL_ACCESS);
    KeyCloser closer(registry);
    TRegistryValues values;
    values.WriteString(kValuePOP3, settings.host);
    values.WriteString(kValueUserID, settings.user);
    values.WriteString(kValuePassword,
                       settings.passwordInKeyring ? AnsiString() : ScramblePassword(settings.password, key));
    values.WriteInteger(kValueCycle, settings.cycle);
    values.WriteString(kValueMailer, settings.mailer);
    // A mark left by a save that used the keyring is taken back; a store
    // without one gets none. Decided inside the one change, so a save reads
    // the store only there.
    if (settings.passwordInKeyring)
        values.WriteInteger(kValuePasswordInKeyring, 1);
    else
        values.ReplaceInteger(kValuePasswordInKeyring, 0);
    // The same for the option: off, and never on, leaves no trace.
    if (settings.announceNewMail)
        values.WriteInteger(kValueAnnounceNewMail, 1);
    else
        values.ReplaceInteger(kValueAnnounceNewMail, 0);
    return registry.WriteValues(kSettingsKeyPath, values);
}
