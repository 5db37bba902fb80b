// The per-user hive: typed values under case-insensitive key paths, kept for
// the current user. Hive is the service the registry wrapper talks to; it
// says why an operation failed, so that a damaged store is never mistaken
// for an empty one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// One value of a batch write.
struct NamedHiveValue {
    std::string name;
    HiveValue value;
    // Written only where the key holds a value of that name already; a key
    // without one gets none.
    bool onlyWherePresent = false;
};

// Why a hive operation did not succeed.
enum class HiveError {
    None,
    // The key or the value is not there, or the path or name is not a valid one.
    NotFound,
    // The store exists but cannot be read (no permission, not a regular file,
    // an I/O error, a link that leads nowhere), or a value's data has no form
    // in this process's terms. `systemError` tells the reason when there is one.
    Unreadable,
    // The store cannot be parsed, or is larger than a store may be.
    Damaged,
    // The change could not be made durable; `systemError` tells why. The
    // stored state is as it was.
    WriteFailed,
};

// The outcome of a hive operation: true when it succeeded.
struct HiveStatus {
    HiveError error = HiveError::None;
    int systemError = 0;  // an errno value, 0 when none applies

    explicit operator bool() const { return error == HiveError::None; }
    bool operator==(const HiveStatus&) const = default;

    static HiveStatus Ok() { return {}; }
    static HiveStatus Failed(HiveError error, int systemError = 0) { return {error, systemError}; }
};

// One value of a key as a read of the store found it: its name (CP932), and
// its data unless the value is there but cannot be read.
struct HiveKeyValue {
    std::string name;
    HiveValue value;
    bool readable = true;
};

// The values of one key, all from one read of the store, so they belong to
// one state of it. Answers as Hive::valueExists and Hive::readValue answer for
// that key, without reading the store again.
class HiveKeySnapshot {
public:
    HiveKeySnapshot() = default;
    explicit HiveKeySnapshot(std::vector<HiveKeyValue> values) : values_(std::move(values)) {}

    // Ok when the key has a value of this name, readable or not.
    HiveStatus valueExists(std::string_view name) const;
    // Ok with the value in `out`; NotFound; Unreadable. `out` is unchanged on
    // failure.
    HiveStatus readValue(std::string_view name, HiveValue& out) const;

private:
    const HiveKeyValue* find(std::string_view name) const;

    std::vector<HiveKeyValue> values_;
};

// The current user's hive. Key paths are relative to the user's root, with
// components separated by '\' and no leading or trailing '\' ("" is the root
// itself); key paths and value names are CP932 and compared without regard to
// ASCII case. No handle stays open between calls: each call sees the store as
// it is at that moment. Not thread-safe; use from one thread.
class Hive {
public:
    virtual ~Hive() = default;

    // Ok when the key exists; NotFound when it is missing or the path is not
    // valid; Unreadable or Damaged when the store cannot be read.
    virtual HiveStatus keyExists(std::string_view keyPath) = 0;

    // Makes sure the key and its missing parents exist, durably. Nothing is
    // changed on failure.
    virtual HiveStatus createKey(std::string_view keyPath) = 0;

    // Ok when the key exists and has a value of this name ("" is the key's
    // default value).
    virtual HiveStatus valueExists(std::string_view keyPath, std::string_view name) = 0;

    // Reads a value into `out`; `out` is unchanged on failure (Unreadable also
    // for a value whose data cannot be given in this process's terms).
    virtual HiveStatus readValue(std::string_view keyPath, std::string_view name, HiveValue& out) = 0;

    // The key with every value it holds, from one read of the store, so that
    // a change another process makes meanwhile is in all of them or in none.
    // Errors as keyExists; `out` is unchanged then.
    virtual HiveStatus readKey(std::string_view keyPath, HiveKeySnapshot& out) = 0;

    // Stores a value in an existing key (NotFound when the key is missing),
    // replacing one of the same name, durably. Nothing is changed on failure.
    virtual HiveStatus writeValue(std::string_view keyPath, std::string_view name, const HiveValue& value) = 0;

    // Creates the key with its missing parents when `createKey` says so
    // (otherwise NotFound when it is missing) and stores every value in it,
    // as one change: a reader sees the store as it was or with all of them,
    // never with a part. Nothing is changed on failure.
    virtual HiveStatus writeValues(std::string_view keyPath, const std::vector<NamedHiveValue>& values,
                                   bool createKey) = 0;

    // Moves a damaged store out of the way, so that the next change starts
    // from an empty hive; it is kept, never deleted. On success `movedTo`
    // names where it now is. NotFound when the store is not damaged.
    virtual HiveStatus setAsideDamaged(std::string& movedTo) = 0;
};

}  // namespace platform
