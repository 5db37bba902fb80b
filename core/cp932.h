// Code page 932 below the framework: the lead-byte test and conversions to
// and from UTF-8 through glibc iconv. "CP932", not "SHIFT_JIS": the latter
// rejects the NEC and IBM extensions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// True for a CP932 lead byte (0x81-0x9F, 0xE0-0xFC).
constexpr bool IsCp932LeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Converts between encodings named as iconv knows them. With an empty
// replacement any character without a form on the other side fails the whole
// conversion (nullopt); otherwise each such character becomes the replacement.
// `badInputStep` is how many input bytes a bad character spans (0: one UTF-8
// code point). Thread-safe.
std::optional<std::string> ConvertText(const char* to, const char* from, std::string_view in,
                                       std::string_view replacement = {}, std::size_t badInputStep = 1);

// True when every byte is ASCII (0x00-0x7F), which CP932 and UTF-8 write
// alike: such text converts to itself, without opening a converter (the
// engine converts the user ID and password of every check).
constexpr bool IsAscii(std::string_view s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

inline std::optional<std::string> Cp932ToUtf8Strict(std::string_view s) {
    if (IsAscii(s))
        return std::string(s);
    return ConvertText("UTF-8", "CP932", s);
}
inline std::optional<std::string> Utf8ToCp932Strict(std::string_view s) {
    if (IsAscii(s))
        return std::string(s);
    return ConvertText("CP932", "UTF-8", s, {}, 0);
}

}  // namespace platform
