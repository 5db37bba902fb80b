// The registry wrapper: opens one key at a time under a root key and reads and
// writes its typed values, raising ERegistryException when a value cannot be
// read or written.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/component.h"
#include "core/exception.h"
#include "core/hive.h"
#include "core/text.h"

using HKEY = std::uintptr_t;

// Root keys. Only the current user's hive is kept by this program.
constexpr HKEY HKEY_CURRENT_USER = 0x80000001;

// Access rights asked for when a key is opened.
constexpr std::uint32_t KEY_QUERY_VALUE = 0x0001;
constexpr std::uint32_t KEY_SET_VALUE = 0x0002;
constexpr std::uint32_t KEY_CREATE_SUB_KEY = 0x0004;
constexpr std::uint32_t KEY_ALL_ACCESS = 0xF003F;

// A value that cannot be read or written, or is of the wrong type. The
// message names the value.
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

// The values of one TRegistry::WriteValues, in the order they are given.
class TRegistryValues {
public:
    void WriteString(const AnsiString& Name, const AnsiString& Value);
    void WriteInteger(const AnsiString& Name, std::int32_t Value);
    // Only where the key holds a value of that name already.
    void ReplaceInteger(const AnsiString& Name, std::int32_t Value);

    const std::vector<platform::NamedHiveValue>& Values() const { return values_; }

private:
    std::vector<platform::NamedHiveValue> values_;
};

// GUI thread only (or any one thread). The open key is forgotten when the
// object goes away; nothing stays open in the hive between calls.
class TRegistry : public TObject {
public:
    // Works on `hive`, which must outlive this object; not owned.
    explicit TRegistry(platform::Hive& hive);
    ~TRegistry() override;
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    const char* ClassName() const override { return "TRegistry"; }

    // HKEY_CURRENT_USER by default. Changing it closes the open key. Keys under
    // any other root cannot be opened.
    HKEY RootKey() const { return rootKey_; }
    void SetRootKey(HKEY value);

    // The rights asked for by the next OpenKey: reads need KEY_QUERY_VALUE,
    // writes KEY_SET_VALUE. KEY_ALL_ACCESS by default.
    std::uint32_t Access() const { return access_; }
    void SetAccess(std::uint32_t value) { access_ = value; }

    // Opens Key and makes it the current key. A path starting with '\' is taken
    // from the root; any other is taken below the current key. With CanCreate
    // the key and its missing parents are created. Returns false when the key
    // is missing (without CanCreate), cannot be created, or the hive cannot be
    // read; the current key stays as it was then.
    bool OpenKey(const AnsiString& Key, bool CanCreate);
    // Opens Key as OpenKey(Key, false) does, reading it with all its values
    // at once: until the key is closed, ValueExists and the reads answer from
    // that one reading, so the values read belong to one state of the hive
    // even while another process changes it. A write to the key goes to the
    // hive and ends the snapshot: later calls read the hive again.
    bool OpenKeySnapshot(const AnsiString& Key);
    // Why the last OpenKey, ValueExists, read, write or WriteValues did not
    // succeed (its hive status); Ok after one that did.
    const platform::HiveStatus& LastStatus() const { return lastStatus_; }
    // Moves a damaged hive out of the way (platform::Hive::setAsideDamaged).
    // True with the name it now has in MovedTo; false when the hive is not
    // damaged or cannot be moved (LastStatus says which).
    bool SetAsideDamagedHive(AnsiString& MovedTo);
    // Forgets the current key (and a snapshot of it); later calls work on the
    // root key itself.
    void CloseKey();
    bool HasCurrentKey() const { return hasCurrentKey_; }
    // The current key's path below the root, without a leading '\'.
    const AnsiString& CurrentPath() const { return currentPath_; }

    // True when the current key has a value of this name.
    bool ValueExists(const AnsiString& Name);

    // A REG_SZ or REG_EXPAND_SZ value (the latter taken literally, not
    // expanded), ending at its first zero byte. Raises ERegistryException
    // "'Name' のデータ型が不正です" for another type, and "'Name' の取得に失敗しました"
    // when the value cannot be read (a missing value included).
    AnsiString ReadString(const AnsiString& Name);
    // As ReadString, but the whole stored text: every byte up to the
    // terminating zero that the stored size tells, zero bytes inside included.
    AnsiString ReadStringBytes(const AnsiString& Name);
    // A REG_DWORD value. Raises as ReadString, for any type but REG_DWORD and
    // for a REG_DWORD whose data is not four bytes.
    std::int32_t ReadInteger(const AnsiString& Name);

    // Store the text and one terminating zero byte (REG_SZ), or four
    // little-endian bytes (REG_DWORD). Raise ERegistryException
    // "'Name' の設定に失敗しました" when the value cannot be written; the stored
    // value is unchanged then.
    void WriteString(const AnsiString& Name, const AnsiString& Value);
    void WriteInteger(const AnsiString& Name, std::int32_t Value);

    // Opens Key as OpenKey(Key, true) does and stores all of Values in it as
    // one change of the hive: a reader sees the key as it was or with every
    // value, never with a part. Returns false, storing nothing and raising
    // nothing, when the key was missing and cannot be created (as OpenKey).
    // Raises ERegistryException "'Name' の設定に失敗しました", naming the first
    // value, when the values cannot be stored; none of them is stored then.
    bool WriteValues(const AnsiString& Key, const TRegistryValues& Values);

private:
    bool rootSupported() const;
    // Makes `path` the open key, with the access asked for now.
    void setCurrentKey(AnsiString path);
    platform::HiveValue readValue(const AnsiString& name);
    AnsiString readStringValue(const AnsiString& name, bool wholeBytes);
    void writeValue(const AnsiString& name, const platform::HiveValue& value);
    AnsiString pathOf(const AnsiString& key) const;
    bool note(const platform::HiveStatus& status);

    platform::Hive* hive_;
    platform::HiveStatus lastStatus_;
    HKEY rootKey_ = HKEY_CURRENT_USER;
    std::uint32_t access_ = KEY_ALL_ACCESS;
    std::uint32_t openAccess_ = KEY_ALL_ACCESS;  // the rights the current key was opened with
    bool hasCurrentKey_ = false;
    AnsiString currentPath_;
    // The current key as OpenKeySnapshot read it.
    std::optional<platform::HiveKeySnapshot> snapshot_;
};
