// Where the stored password lives: in the desktop's keyring when a Secret
// Service runs, scrambled in the settings store (as it always was) when none
// does. A store that still holds the password is moved into the keyring,
// keyring first, so that a move cut short at any point loses nothing.
#pragma once

#include <functional>
#include <string>

#include "core/check_failure_kind.h"
#include "core/secret_store.h"
#include "core/text.h"
#include "settings/settings_store.h"

namespace platform {
class Log;
}

class TRegistry;

// The keyring item of the stored settings. Label "Postwren: <user ID>@<server>";
// attributes application = "postwren", server = the stored "POP3" text and
// user = the stored "UserID", all UTF-8. The secret is the password in UTF-8.
inline constexpr const char* kKeyringAttributeApplication = "application";
inline constexpr const char* kKeyringApplication = "postwren";
inline constexpr const char* kKeyringAttributeServer = "server";
inline constexpr const char* kKeyringAttributeUser = "user";

std::string KeyringLabel(const AnsiString& host, const AnsiString& user);
platform::SecretAttributes KeyringAttributes(const AnsiString& host, const AnsiString& user);

// The store says the password is in the keyring, and it cannot be read from
// there: the keyring stays locked, the item is gone, or no keyring runs.
// The message is "キーリングからパスワードを読めませんでした" whatever the
// reason; Reason() tells it. Its kind is Usage: nothing on the server's
// side failed, the settings need the password again.
class EKeyringError : public ECheckFailure {
public:
    explicit EKeyringError(platform::SecretStatus reason);
    platform::SecretStatus Reason() const { return reason_; }

private:
    platform::SecretStatus reason_;
};

// The stored settings with their password in the right place. Keeps what it
// learnt about the store (where the password is, under which server and user
// ID) between calls, so one object serves one program for its whole run.
// Does not own the keyring. GUI thread only; the keyring calls keep the
// message loop turning, so a call may run inside another's wait.
class PasswordKeeper {
public:
    // Notes for the user go to `log`, which must outlive the keeper.
    PasswordKeeper(platform::SecretStore& secrets, platform::Log& log);

    // Whether a load moves a password the store holds into the keyring.
    enum class Move { IntoKeyring, Leave };

    // LoadSettings (settings/settings_store.h), then, when the store holds a
    // password and a keyring runs, moves it there: the item is stored and
    // read back first, and only then "Password" is emptied and the keyring
    // mark set, in one change of the store. If the keyring does not take it,
    // the store keeps it and nothing changes. A password that lives in the
    // keyring is not read here (see PasswordForCheck): settings.password
    // stays as the store has it, empty. Raises nothing of the registry's.
    SettingsLoad Load(TRegistry& registry, StoredSettings& settings, const TScrambleKey& key,
                      Move move = Move::IntoKeyring);

    // SaveSettings with the password in the keyring when one runs: the item
    // is stored and read back first, then the settings are saved with the
    // keyring mark. When the keyring does not take it, the password is saved
    // scrambled in the store. An empty password while the one in the
    // keyring was never read (it was locked) leaves the keyring's as it is,
    // so OK in a dialog that could not be filled loses nothing. A changed
    // server or user ID leaves no item under the old ones. Returns and
    // raises as SaveSettings.
    bool Save(TRegistry& registry, const StoredSettings& settings, const TScrambleKey& key);

    // The password for a check: the keyring's when the store says it lives
    // there, otherwise `password` as it is. Raises EKeyringError when the
    // keyring cannot give it.
    AnsiString PasswordForCheck(const AnsiString& password);

    // The password lives in the keyring (as far as the last load or save knows).
    bool InKeyring() const { return inKeyring_; }

private:
    struct Item {
        AnsiString host;
        AnsiString user;
        bool operator==(const Item&) const = default;
    };

    void migrate(TRegistry& registry, StoredSettings& settings);
    // Stores the password as the item and reads it back; true when it is there.
    bool putInKeyring(const Item& item, const AnsiString& password);
    void noteFailure(platform::SecretStatus status, const char* what);
    void note(const std::string& line) const;

    platform::SecretStore& secrets_;
    platform::Log& log_;
    Item item_;
    bool inKeyring_ = false;
    // The password in the keyring has been read or written by this process.
    bool passwordKnown_ = false;
    bool noServiceNoted_ = false;
};
