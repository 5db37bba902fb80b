#include "core/hive.h"

#include "core/cp932.h"

namespace platform {

namespace {

char foldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names compare without regard to ASCII case. In CP932 a trail byte may be an
// ASCII letter, so only single-byte characters are folded.
bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (IsCp932LeadByte(static_cast<unsigned char>(a[i]))) {
            if (a[i] != b[i] || (i + 1 < a.size() && a[i + 1] != b[i + 1]))
                return false;
            ++i;
            continue;
        }
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    }
    return true;
}

}  // namespace

const HiveKeyValue* HiveKeySnapshot::find(std::string_view name) const {
    for (const HiveKeyValue& v : values_)
        if (sameName(v.name, name))
            return &v;
    return nullptr;
}

HiveStatus HiveKeySnapshot::valueExists(std::string_view name) const {
    return find(name) != nullptr ? HiveStatus::Ok() : HiveStatus::Failed(HiveError::NotFound);
}

HiveStatus HiveKeySnapshot::readValue(std::string_view name, HiveValue& out) const {
    const HiveKeyValue* v = find(name);
    if (v == nullptr)
        return HiveStatus::Failed(HiveError::NotFound);
    if (!v->readable)
        return HiveStatus::Failed(HiveError::Unreadable);
    out = v->value;
    return HiveStatus::Ok();
}

}  // namespace platform
