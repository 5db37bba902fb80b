#include "settings/keyring_password.h"

#include <optional>

#include "core/log.h"
#include "core/registry.h"

namespace {

constexpr char kUnreadableText[] = "キーリングからパスワードを読めませんでした";

const char* reasonText(platform::SecretStatus status) {
    switch (status) {
        case platform::SecretStatus::Ok:
            return "ok";
        case platform::SecretStatus::NoService:
            return "no keyring";
        case platform::SecretStatus::Locked:
            return "the keyring is locked";
        case platform::SecretStatus::NotFound:
            return "no such item";
        case platform::SecretStatus::Failed:
            break;
    }
    return "the keyring failed";
}

}  // namespace

std::string KeyringLabel(const AnsiString& host, const AnsiString& user) {
    return "Postwren: " + Cp932ToUtf8(user) + "@" + Cp932ToUtf8(host);
}

platform::SecretAttributes KeyringAttributes(const AnsiString& host, const AnsiString& user) {
    return {{kKeyringAttributeApplication, kKeyringApplication},
            {kKeyringAttributeServer, Cp932ToUtf8(host)},
            {kKeyringAttributeUser, Cp932ToUtf8(user)}};
}

EKeyringError::EKeyringError(platform::SecretStatus reason)
    : ECheckFailure(Sjis(kUnreadableText), FailureKind::Usage), reason_(reason) {}

PasswordKeeper::PasswordKeeper(platform::SecretStore& secrets, platform::Log& log) : secrets_(secrets), log_(log) {}

SettingsLoad PasswordKeeper::Load(TRegistry& registry, StoredSettings& settings, const TScrambleKey& key, Move move) {
    const SettingsLoad load = ::LoadSettings(registry, settings, key);
    if (load.status != SettingsLoadStatus::Loaded)
        return load;
    item_ = Item{settings.host, settings.user};
    inKeyring_ = settings.passwordInKeyring;
    passwordKnown_ = false;
    if (move == Move::IntoKeyring && !inKeyring_ && !settings.password.empty())
        migrate(registry, settings);
    return load;
}

void PasswordKeeper::migrate(TRegistry& registry, StoredSettings& settings) {
    if (!putInKeyring(item_, settings.password))
        return;
    // Only the two values change; the rest of the store stays as it was.
    TRegistryValues values;
    values.WriteString(kValuePassword, AnsiString());
    values.WriteInteger(kValuePasswordInKeyring, 1);
    bool written = false;
    try {
        written = registry.WriteValues(kSettingsKeyPath, values);
    } catch (const ERegistryException&) {
        written = false;
    }
    registry.CloseKey();
    if (!written) {
        // The keyring holds a copy; the store still has the password and
        // says so, and the next start tries again.
        note("the settings file could not be changed; the password stays in it, scrambled");
        return;
    }
    settings.passwordInKeyring = true;
    inKeyring_ = true;
    passwordKnown_ = true;
}

bool PasswordKeeper::Save(TRegistry& registry, const StoredSettings& input, const TScrambleKey& key) {
    StoredSettings settings = input;
    const Item previous = item_;
    const bool wasInKeyring = inKeyring_;
    const Item next{settings.host, settings.user};
    // A dialog that could not be filled from a locked keyring shows an empty
    // password; confirming it must not wipe the one in the keyring.
    const bool keepItem = inKeyring_ && !passwordKnown_ && settings.password.empty() && next == previous;
    settings.passwordInKeyring = keepItem || putInKeyring(next, settings.password);
    if (!::SaveSettings(registry, settings, key))
        return false;
    item_ = next;
    inKeyring_ = settings.passwordInKeyring;
    if (!keepItem)
        passwordKnown_ = true;
    if (wasInKeyring && inKeyring_ && !(previous == next))
        secrets_.Clear(KeyringAttributes(previous.host, previous.user));
    return true;
}

AnsiString PasswordKeeper::PasswordForCheck(const AnsiString& password) {
    if (!inKeyring_)
        return password;
    std::string utf8;
    platform::SecretStatus status = secrets_.Lookup(KeyringAttributes(item_.host, item_.user), utf8);
    if (status == platform::SecretStatus::Ok) {
        if (const std::optional<AnsiString> text = TryUtf8ToCp932(utf8)) {
            passwordKnown_ = true;
            return *text;
        }
        status = platform::SecretStatus::Failed;
    }
    if (status == platform::SecretStatus::NoService)
        noteFailure(status, "");
    throw EKeyringError(status);
}

bool PasswordKeeper::putInKeyring(const Item& item, const AnsiString& password) {
    const std::optional<std::string> utf8 = TryCp932ToUtf8(password);
    if (!utf8) {
        note(
            "the password has bytes that are no text, so it cannot go into the keyring; it stays in the "
            "settings file, scrambled");
        return false;
    }
    const platform::SecretAttributes attributes = KeyringAttributes(item.host, item.user);
    platform::SecretStatus status = secrets_.Store(KeyringLabel(item.host, item.user), attributes, *utf8);
    std::string stored;
    if (status == platform::SecretStatus::Ok)
        status = secrets_.Lookup(attributes, stored);
    if (status == platform::SecretStatus::Ok && stored != *utf8)
        status = platform::SecretStatus::Failed;
    if (status != platform::SecretStatus::Ok) {
        noteFailure(status, "the password stays in the settings file, scrambled");
        return false;
    }
    return true;
}

void PasswordKeeper::noteFailure(platform::SecretStatus status, const char* what) {
    if (status == platform::SecretStatus::NoService) {
        // Said once per run: without a keyring everything works as it always did.
        if (noServiceNoted_)
            return;
        noServiceNoted_ = true;
        note(
            "no keyring (Secret Service) on the session bus; the password is kept in the settings file, "
            "scrambled");
        return;
    }
    note(std::string("keyring: ") + reasonText(status) + "; " + what);
}

void PasswordKeeper::note(const std::string& line) const {
    log_.Line(line);
}
