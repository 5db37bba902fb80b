// The per-user hive: typed values under case-insensitive key paths, kept for
// the current user. Hive is the service the registry wrapper talks to;
// HiveFile keeps it in one text file in the layout of a registry export.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// Value types. Any other number is kept as it is and read back raw.
constexpr std::uint32_t REG_NONE = 0;
constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_EXPAND_SZ = 2;
constexpr std::uint32_t REG_BINARY = 3;
constexpr std::uint32_t REG_DWORD = 4;

// A stored value: its type and its data bytes exactly as written (a string
// holds its CP932 bytes and the terminating zero; a REG_DWORD four bytes,
// little-endian).
struct HiveValue {
    std::uint32_t type = REG_NONE;
    std::string data;

    bool operator==(const HiveValue&) const = default;
};

// The current user's hive. Key paths are relative to the user's root, with
// components separated by '\' and no leading or trailing '\' ("" is the root
// itself); key paths and value names are CP932 and compared without regard to
// ASCII case. No handle stays open between calls: each call sees the store as
// it is at that moment. Not thread-safe; use from one thread.
class Hive {
public:
    virtual ~Hive() = default;

    // True when the key exists. False when it is missing, when the path is not
    // a valid key path, and when the store cannot be read (a damaged store
    // counts as one whose keys cannot be opened).
    virtual bool keyExists(std::string_view keyPath) = 0;

    // Makes sure the key and its missing parents exist, durably. False when the
    // store cannot be written or the path is not valid; nothing is changed then.
    virtual bool createKey(std::string_view keyPath) = 0;

    // True when the key exists and has a value of this name ("" is the key's
    // default value). False when either is missing or the store cannot be read.
    virtual bool valueExists(std::string_view keyPath, std::string_view name) = 0;

    // Reads a value into `out`. False when the read fails: the key or the value
    // is missing, the store cannot be read, or the value's data cannot be given
    // in this process's terms; `out` is unchanged then.
    virtual bool readValue(std::string_view keyPath, std::string_view name, HiveValue& out) = 0;

    // Stores a value in an existing key, replacing one of the same name, and
    // makes it durable before returning. False when the key does not exist or
    // the store cannot be written; the stored state is unchanged then.
    virtual bool writeValue(std::string_view keyPath, std::string_view name, const HiveValue& value) = 0;
};

// The hive kept in one UTF-8 text file: the line REGEDIT4, then for each key a
// line [HKEY_CURRENT_USER\path] followed by its values. A missing file is an
// empty hive. Entries this program does not use (other keys, other values,
// other value types) are kept when the file is rewritten.
//
// Every change rewrites the file atomically (temporary file, fsync, rename),
// with mode 0600, creating the directory with mode 0700 when missing. A file
// that cannot be parsed, or is larger than MaxFileSize, is damaged: its keys
// cannot be opened, and the next change first moves it aside as
// "<file>.damaged-<UTC timestamp>" (it is never deleted or overwritten); if it
// cannot be moved aside the change fails. A file that exists but cannot be
// read makes every change fail, so nothing unread is ever replaced.
class HiveFile final : public Hive {
public:
    static constexpr std::size_t MaxFileSize = 1024 * 1024;

    // The hive at DefaultPath().
    HiveFile();
    // The hive at `path` (tests, or another location).
    explicit HiveFile(std::filesystem::path path);

    // ${XDG_CONFIG_HOME:-$HOME/.config}/postwren/user.reg. A relative
    // XDG_CONFIG_HOME is ignored, as the base directory rules ask; without
    // HOME the password database's home directory is used.
    static std::filesystem::path DefaultPath();

    const std::filesystem::path& path() const { return path_; }

    bool keyExists(std::string_view keyPath) override;
    bool createKey(std::string_view keyPath) override;
    bool valueExists(std::string_view keyPath, std::string_view name) override;
    bool readValue(std::string_view keyPath, std::string_view name, HiveValue& out) override;
    bool writeValue(std::string_view keyPath, std::string_view name, const HiveValue& value) override;

private:
    std::filesystem::path path_;
};

}  // namespace platform
