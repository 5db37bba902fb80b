// The stored settings: the key and value names under the current user's hive,
// the password scrambling, and the load and save walks the main window runs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "framework/text.h"

class TRegistry;

// The settings key, taken from the root of HKEY_CURRENT_USER.
inline constexpr const char* kSettingsKeyPath = "\\Software\\Brindlework\\Postwrn";
// Value names, in the order both walks handle them.
inline constexpr const char* kValuePOP3 = "POP3";
inline constexpr const char* kValueUserID = "UserID";
inline constexpr const char* kValuePassword = "Password";
inline constexpr const char* kValueCycle = "Cycle";
inline constexpr const char* kValueMailer = "Mailer";

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

// What the settings walks move: the mailbox settings of the POP3 client and
// the main window's own. The main window implements it over its members.
class SettingsTarget {
public:
    virtual ~SettingsTarget() = default;

    virtual AnsiString Host() const = 0;
    virtual void SetHost(const AnsiString& value) = 0;
    virtual AnsiString UserID() const = 0;
    virtual void SetUserID(const AnsiString& value) = 0;
    // In plain; the walks scramble it for the store.
    virtual AnsiString Password() const = 0;
    virtual void SetPassword(const AnsiString& value) = 0;
    virtual std::int32_t CycleMinutes() const = 0;
    virtual void SetCycleMinutes(std::int32_t value) = 0;
    virtual AnsiString MailerPath() const = 0;
    virtual void SetMailerPath(const AnsiString& value) = 0;

    // Sets the check timer's interval: CycleMinutes x 60000. Negative only
    // when a negative interval was stored.
    virtual void SetCheckInterval(std::int32_t milliseconds) = 0;
    // No settings are stored yet: show the settings dialog, modeless.
    virtual void ShowSettingsDialog() = 0;
};

// The five settings as plain values, for code that reads or writes the store
// without the main window (the command-line check, tests). Records the
// interval the load sets and how often the load found no stored key.
class PlainSettings final : public SettingsTarget {
public:
    AnsiString host, user, password, mailer;
    std::int32_t cycle = 0;
    std::optional<std::int32_t> interval;
    int dialogShown = 0;

    AnsiString Host() const override { return host; }
    void SetHost(const AnsiString& v) override { host = v; }
    AnsiString UserID() const override { return user; }
    void SetUserID(const AnsiString& v) override { user = v; }
    AnsiString Password() const override { return password; }
    void SetPassword(const AnsiString& v) override { password = v; }
    std::int32_t CycleMinutes() const override { return cycle; }
    void SetCycleMinutes(std::int32_t v) override { cycle = v; }
    AnsiString MailerPath() const override { return mailer; }
    void SetMailerPath(const AnsiString& v) override { mailer = v; }
    void SetCheckInterval(std::int32_t ms) override { interval = ms; }
    void ShowSettingsDialog() override { ++dialogShown; }
};

// Reads the settings key into `target`, value by value, each only when it
// exists; then sets the check interval from CycleMinutes (whether or not a
// "Cycle" was stored) before reading "Mailer". When the key cannot be opened
// nothing is read, the interval is left alone and ShowSettingsDialog() runs.
// A value of the wrong type or one that cannot be read raises
// ERegistryException and ends the load there: the values before it are set,
// the rest are not. The key is closed in every case.
void LoadSettings(TRegistry& registry, SettingsTarget& target, const TScrambleKey& key);

// Writes all five values, empty texts included, in the order above, the
// password scrambled. When the key cannot be opened or created nothing is
// written and nothing is reported. A write that fails raises
// ERegistryException: the values before it are written, the rest are not.
void SaveSettings(TRegistry& registry, const SettingsTarget& target, const TScrambleKey& key);
