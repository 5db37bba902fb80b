// The stored settings: the five values under the current user's hive, the
// password scrambling, and the load and save walks over the registry wrapper.
// No GUI: the forms and the command-line check share it.
#pragma once

#include <array>
#include <cstdint>

#include "core/text.h"

class TRegistry;

// The settings key, taken from the root of HKEY_CURRENT_USER.
inline constexpr const char* kSettingsKeyPath = "\\Software\\Brindlework\\Postwrn";
// Value names, in the order both walks handle them.
inline constexpr const char* kValuePOP3 = "POP3";
inline constexpr const char* kValueUserID = "UserID";
inline constexpr const char* kValuePassword = "Password";
inline constexpr const char* kValueCycle = "Cycle";
inline constexpr const char* kValueMailer = "Mailer";
// After the five: a REG_DWORD, 1 when the password lives in the desktop's
// keyring and "Password" is stored empty (settings/keyring_password.h).
// Missing or 0: "Password" holds it, scrambled. Written only by saves that put
// the password in the keyring, and by saves that take it out again.
inline constexpr const char* kValuePasswordInKeyring = "PasswordInKeyring";
// A REG_DWORD, 1 when the user asked to be told who sent new mail and about
// what (the program then remembers what it told, see
// settings/announced_mail.h). Missing or 0: the check counts only. Written as
// 1 by saves with the option on; a save with it off writes 0 only where the
// key already has the value, so a store that never had it keeps its bytes.
inline constexpr const char* kValueAnnounceNewMail = "AnnounceNewMail";

// One check interval minute in timer milliseconds.
constexpr std::int32_t kMillisecondsPerMinute = 60000;

// Per-position offsets of the password scrambling: byte p is shifted by entry
// p, and every byte from the eleventh on by the last entry.
using TScrambleKey = std::array<std::int32_t, 10>;

// The offsets this program stores passwords with. A stored password reads back
// only with the same offsets, so these never change.
inline constexpr TScrambleKey DefaultScrambleKey = {7, 2, 9, 4, 1, 8, 3, 6, 5, 2};

// Byte by byte, (byte + offset) mod 256; the result has as many bytes as the
// input (a double-byte character counts as two).
AnsiString ScramblePassword(const AnsiString& text, const TScrambleKey& key);
// The inverse walk, (byte - offset) mod 256.
AnsiString UnscramblePassword(const AnsiString& text, const TScrambleKey& key);

// The five settings, in CP932.
struct StoredSettings {
    AnsiString host;      // "POP3"
    AnsiString user;      // "UserID"
    AnsiString password;  // "Password", in plain here, scrambled in the store
    // "Cycle": minutes between timed checks, within signed 16-bit range.
    std::int32_t cycle = 0;
    AnsiString mailer;  // "Mailer": the mail program; empty for none
    // "PasswordInKeyring": the password is kept in the keyring, not in
    // "Password" (which a save then stores empty).
    bool passwordInKeyring = false;
    // "AnnounceNewMail": tell the sender and subject of mail not told before.
    bool announceNewMail = false;

    bool operator==(const StoredSettings&) const = default;
};

// The check timer's interval for these settings: cycle x 60000 ms (negative
// only when a negative interval was stored).
std::int32_t CheckIntervalOf(const StoredSettings& settings);

// What a load found.
enum class SettingsLoadStatus {
    // The key was there; every value it holds was read.
    Loaded,
    // No settings are stored.
    NoKey,
    // The store cannot be parsed. It was moved aside (see SettingsLoad::movedTo).
    Damaged,
    // The store is there but cannot be read (SettingsLoad::systemError).
    StoreUnreadable,
    // One value cannot be read or has the wrong type; the load ended there.
    UnreadableValue,
};

struct SettingsLoad {
    SettingsLoadStatus status = SettingsLoadStatus::Loaded;
    // Damaged: the name the damaged store was moved to; empty when it could
    // not be moved (the next save moves it, or fails).
    AnsiString movedTo;
    // UnreadableValue: the value's name and the registry wrapper's message for
    // it ("'Cycle' のデータ型が不正です", "'UserID' の取得に失敗しました").
    AnsiString valueName;
    AnsiString message;
    // StoreUnreadable: the errno value, when there is one.
    int systemError = 0;
    // The load got past "Cycle": the check interval is to be set from the
    // settings, whether or not a "Cycle" was stored. True when Loaded, and
    // for an unreadable "Mailer".
    bool intervalReached = false;
    // A "Cycle" was stored and read (whatever its value).
    bool cycleStored = false;
};

// Reads the settings key into `settings`, value by value, each only when it
// exists: a missing value leaves what `settings` held; "PasswordInKeyring"
// and "AnnounceNewMail" come last. The key is read once, with all its values, so a save by another
// process meanwhile is in all of them or in none. An unreadable value ends
// the load there: the values before it are set, the rest are not. A damaged
// store is moved aside. The key is closed in every case. Raises nothing of the
// registry's.
SettingsLoad LoadSettings(TRegistry& registry, StoredSettings& settings, const TScrambleKey& key);

// What a load means for its caller: true when it found settings to use;
// false when nothing usable is stored (no key, a damaged store now moved
// aside, a store that cannot be read), so the settings are to be asked for.
// Raises ERegistryException with the load's message when it ended at a value
// that cannot be read; the values before it are in the settings.
bool SettingsFound(const SettingsLoad& load);

// Writes all five values, empty texts included, the password scrambled, in
// one change of the store (creating the key when missing): afterwards the
// store holds all of the new values or all of the old. With
// passwordInKeyring, "Password" is written empty and "PasswordInKeyring" as
// 1; without it, "PasswordInKeyring" is written (as 0) only where the key
// already has one, so a store that never had the keyring keeps its bytes;
// "AnnounceNewMail" likewise. Returns false when the key cannot be opened or
// created: nothing is written then. A write that
// fails raises ERegistryException "'POP3' の設定に失敗しました" and nothing is
// written. The key is closed in every case.
bool SaveSettings(TRegistry& registry, const StoredSettings& settings, const TScrambleKey& key);
