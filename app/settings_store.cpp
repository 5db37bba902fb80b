#include "app/settings_store.h"

#include "framework/registry.h"

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

}  // namespace

AnsiString ScramblePassword(const AnsiString& text, const TScrambleKey& key) {
    return shift(text, key, true);
}

AnsiString UnscramblePassword(const AnsiString& text, const TScrambleKey& key) {
    return shift(text, key, false);
}

void LoadSettings(TRegistry& registry, SettingsTarget& target, const TScrambleKey& key) {
    registry.SetRootKey(HKEY_CURRENT_USER);
    registry.SetAccess(KEY_ALL_ACCESS);
    KeyCloser closer(registry);
    if (!registry.OpenKey(kSettingsKeyPath, false)) {
        target.ShowSettingsDialog();
        return;
    }
    if (registry.ValueExists(kValuePOP3))
        target.SetHost(registry.ReadString(kValuePOP3));
    if (registry.ValueExists(kValueUserID))
        target.SetUserID(registry.ReadString(kValueUserID));
    // A scrambled byte may be zero, so the password is read to the end of
    // its stored size rather than to its first zero.
    if (registry.ValueExists(kValuePassword))
        target.SetPassword(UnscramblePassword(registry.ReadStringBytes(kValuePassword), key));
    if (registry.ValueExists(kValueCycle)) {
        const auto raw = static_cast<std::uint32_t>(registry.ReadInteger(kValueCycle));
        // Only the low 16 bits count, as a signed number.
        target.SetCycleMinutes(static_cast<std::int16_t>(static_cast<std::uint16_t>(raw & 0xFFFF)));
    }
    const std::int64_t interval = static_cast<std::int64_t>(target.CycleMinutes()) * kMillisecondsPerMinute;
    target.SetCheckInterval(static_cast<std::int32_t>(interval));
    if (registry.ValueExists(kValueMailer))
        target.SetMailerPath(registry.ReadString(kValueMailer));
}

void SaveSettings(TRegistry& registry, const SettingsTarget& target, const TScrambleKey& key) {
    registry.SetRootKey(HKEY_CURRENT_USER);
    registry.SetAccess(KEY_ALL_ACCESS);
    KeyCloser closer(registry);
    if (!registry.OpenKey(kSettingsKeyPath, true))
        return;
    registry.WriteString(kValuePOP3, target.Host());
    registry.WriteString(kValueUserID, target.UserID());
    registry.WriteString(kValuePassword, ScramblePassword(target.Password(), key));
    registry.WriteInteger(kValueCycle, target.CycleMinutes());
    registry.WriteString(kValueMailer, target.MailerPath());
}
