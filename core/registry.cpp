#include "core/registry.h"

#include "core/hive.h"

namespace {

constexpr char kPathSeparator = '\\';

// Message texts; "%s" stands for the value name.
constexpr std::string_view kInvalidTypeText = "'%s' のデータ型が不正です";
constexpr std::string_view kGetDataFailedText = "'%s' の取得に失敗しました";
constexpr std::string_view kSetDataFailedText = "'%s' の設定に失敗しました";

ERegistryException registryError(std::string_view utf8Template, const AnsiString& name) {
    // '%' is never a trail byte of CP932, so the marker cannot straddle a character.
    AnsiString text = Sjis(utf8Template);
    const std::size_t at = text.find("%s");
    if (at != AnsiString::npos)
        text.replace(at, 2, name);
    return ERegistryException(text);
}

platform::HiveValue stringValue(std::uint32_t type, const AnsiString& text) {
    platform::HiveValue v;
    v.type = type;
    v.data = text;
    v.data += '\0';
    return v;
}

platform::HiveValue integerValue(std::int32_t value) {
    platform::HiveValue v;
    v.type = platform::REG_DWORD;
    const auto n = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) v.data += static_cast<char>((n >> (8 * i)) & 0xFF);
    return v;
}

// Reported when the registry itself refuses (another root, missing rights).
const platform::HiveStatus kRefused = platform::HiveStatus::Failed(platform::HiveError::NotFound);

}  // namespace

void TRegistryValues::WriteString(const AnsiString& Name, const AnsiString& Value) {
    values_.push_back({Name, stringValue(platform::REG_SZ, Value)});
}

void TRegistryValues::WriteInteger(const AnsiString& Name, std::int32_t Value) {
    values_.push_back({Name, integerValue(Value)});
}

void TRegistryValues::ReplaceInteger(const AnsiString& Name, std::int32_t Value) {
    values_.push_back({Name, integerValue(Value), /*onlyWherePresent=*/true});
}

TRegistry::TRegistry(platform::Hive& hive) : hive_(&hive) {}

TRegistry::~TRegistry() = default;

void TRegistry::SetRootKey(HKEY value) {
    if (value == rootKey_)
        return;
    CloseKey();
    rootKey_ = value;
}

bool TRegistry::rootSupported() const {
    return rootKey_ == HKEY_CURRENT_USER;
}

AnsiString TRegistry::pathOf(const AnsiString& key) const {
    const bool absolute = !key.empty() && key.front() == kPathSeparator;
    if (absolute)
        return key.substr(1);
    if (hasCurrentKey_ && !currentPath_.empty())
        return key.empty() ? currentPath_ : currentPath_ + kPathSeparator + key;
    return key;
}

bool TRegistry::note(const platform::HiveStatus& status) {
    lastStatus_ = status;
    return static_cast<bool>(status);
}

bool TRegistry::OpenKey(const AnsiString& Key, bool CanCreate) {
    if (!rootSupported())
        return note(kRefused);
    AnsiString path = pathOf(Key);
    if (!note(CanCreate ? hive_->createKey(path) : hive_->keyExists(path)))
        return false;
    setCurrentKey(std::move(path));
    return true;
}

bool TRegistry::OpenKeySnapshot(const AnsiString& Key) {
    if (!rootSupported())
        return note(kRefused);
    AnsiString path = pathOf(Key);
    platform::HiveKeySnapshot read;
    if (!note(hive_->readKey(path, read)))
        return false;
    setCurrentKey(std::move(path));
    snapshot_ = std::move(read);
    return true;
}

bool TRegistry::SetAsideDamagedHive(AnsiString& MovedTo) {
    std::string moved;
    if (!note(hive_->setAsideDamaged(moved)))
        return false;
    MovedTo = moved;
    return true;
}

void TRegistry::setCurrentKey(AnsiString path) {
    CloseKey();
    hasCurrentKey_ = true;
    currentPath_ = std::move(path);
    openAccess_ = access_;
}

void TRegistry::CloseKey() {
    hasCurrentKey_ = false;
    currentPath_.clear();
    snapshot_.reset();
    // The root key itself is always at hand with every right.
    openAccess_ = KEY_ALL_ACCESS;
}

bool TRegistry::ValueExists(const AnsiString& Name) {
    if (!rootSupported() || (openAccess_ & KEY_QUERY_VALUE) == 0)
        return note(kRefused);
    if (snapshot_)
        return note(snapshot_->valueExists(Name));
    return note(hive_->valueExists(currentPath_, Name));
}

platform::HiveValue TRegistry::readValue(const AnsiString& name) {
    platform::HiveValue v;
    if (!rootSupported() || (openAccess_ & KEY_QUERY_VALUE) == 0)
        note(kRefused);
    else if (note(snapshot_ ? snapshot_->readValue(name, v) : hive_->readValue(currentPath_, name, v)))
        return v;
    throw registryError(kGetDataFailedText, name);
}

AnsiString TRegistry::readStringValue(const AnsiString& name, bool wholeBytes) {
    const platform::HiveValue v = readValue(name);
    if (v.type != platform::REG_SZ && v.type != platform::REG_EXPAND_SZ)
        throw registryError(kInvalidTypeText, name);
    if (!wholeBytes)
        return v.data.substr(0, v.data.find('\0'));
    // The stored size tells where the text ends: one terminating zero at the
    // end is not part of it; zeros before it are.
    if (!v.data.empty() && v.data.back() == '\0')
        return v.data.substr(0, v.data.size() - 1);
    return v.data;
}

AnsiString TRegistry::ReadString(const AnsiString& Name) {
    return readStringValue(Name, false);
}

AnsiString TRegistry::ReadStringBytes(const AnsiString& Name) {
    return readStringValue(Name, true);
}

std::int32_t TRegistry::ReadInteger(const AnsiString& Name) {
    const platform::HiveValue v = readValue(Name);
    if (v.type != platform::REG_DWORD)
        throw registryError(kInvalidTypeText, Name);
    if (v.data.size() != sizeof(std::uint32_t))
        throw registryError(kGetDataFailedText, Name);
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
    return static_cast<std::int32_t>(n);
}

void TRegistry::writeValue(const AnsiString& name, const platform::HiveValue& value) {
    if (!rootSupported() || (openAccess_ & KEY_SET_VALUE) == 0)
        note(kRefused);
    else if (note(hive_->writeValue(currentPath_, name, value))) {
        snapshot_.reset();
        return;
    }
    throw registryError(kSetDataFailedText, name);
}

void TRegistry::WriteString(const AnsiString& Name, const AnsiString& Value) {
    writeValue(Name, stringValue(platform::REG_SZ, Value));
}

void TRegistry::WriteInteger(const AnsiString& Name, std::int32_t Value) {
    writeValue(Name, integerValue(Value));
}

bool TRegistry::WriteValues(const AnsiString& Key, const TRegistryValues& Values) {
    if (!rootSupported())
        return note(kRefused);
    AnsiString path = pathOf(Key);
    const AnsiString firstName = Values.Values().empty() ? AnsiString() : AnsiString(Values.Values().front().name);
    if ((access_ & KEY_SET_VALUE) == 0) {
        note(kRefused);
        throw registryError(kSetDataFailedText, firstName);
    }
    const platform::HiveStatus status = hive_->writeValues(path, Values.Values(), true);
    if (status) {
        note(status);
        setCurrentKey(std::move(path));
        return true;
    }
    // A store that fails the change fails the same way for a key it would
    // have had to create: that is a key that cannot be created, as OpenKey
    // reports it, not a value that cannot be written. A failed change left
    // the store as it was, so asking now tells how it was.
    const bool existed = static_cast<bool>(hive_->keyExists(path));
    note(status);
    if (!existed)
        return false;
    setCurrentKey(std::move(path));
    throw registryError(kSetDataFailedText, firstName);
}
