#include "core/text.h"

#include <limits>

#include "core/cp932.h"

using platform::ConvertText;

// ASCII text is the same in both encodings and converts to itself without a
// converter: most names and credentials are ASCII.

std::optional<AnsiString> TryUtf8ToCp932(std::string_view utf8) {
    return platform::Utf8ToCp932Strict(utf8);
}

std::optional<std::string> TryCp932ToUtf8(std::string_view cp932) {
    return platform::Cp932ToUtf8Strict(cp932);
}

AnsiString Utf8ToCp932(std::string_view utf8) {
    if (platform::IsAscii(utf8))
        return AnsiString(utf8);
    return ConvertText("CP932", "UTF-8", utf8, "?", 0).value_or("");
}

std::string Cp932ToUtf8(std::string_view cp932) {
    if (platform::IsAscii(cp932))
        return std::string(cp932);
    return ConvertText("UTF-8", "CP932", cp932, "\xEF\xBF\xBD", 1).value_or("");
}

std::int32_t StrToIntDef(std::string_view s, std::int32_t Default) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= s.size())
        return Default;
    std::uint64_t value = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return Default;
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0xFFFFFFFFull)
            return Default;
    }
    if (hex) {
        // A hexadecimal value is a 32-bit pattern: $FFFFFFFF is -1.
        const auto pattern = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
        return negative ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(pattern)) : pattern;
    }
    const std::int64_t signedValue = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    if (signedValue < std::numeric_limits<std::int32_t>::min() ||
        signedValue > std::numeric_limits<std::int32_t>::max())
        return Default;
    return static_cast<std::int32_t>(signedValue);
}

AnsiString IntToStr(std::int64_t value) {
    return std::to_string(value);
}

AnsiString TruncateCp932(std::string_view s, std::size_t maxBytes) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t len = (IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) ? 2 : 1;
        if (i + len > maxBytes)
            break;
        i += len;
    }
    return AnsiString(s.substr(0, i));
}

namespace {

constexpr bool isControlByte(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

constexpr bool isTrailByte(unsigned char c) {
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

// Single bytes that CP932 leaves unassigned.
constexpr bool isUnassignedByte(unsigned char c) {
    return c == 0x80 || c == 0xA0 || c >= 0xFD;
}

}  // namespace

AnsiString EscapeControls(std::string_view cp932) {
    if (cp932.ends_with("\r\n"))
        cp932.remove_suffix(2);
    else if (cp932.ends_with('\n'))
        cp932.remove_suffix(1);
    static constexpr char kHex[] = "0123456789ABCDEF";
    AnsiString out;
    out.reserve(cp932.size());
    for (std::size_t i = 0; i < cp932.size(); ++i) {
        const auto c = static_cast<unsigned char>(cp932[i]);
        if (IsLeadByte(c) && i + 1 < cp932.size() && isTrailByte(static_cast<unsigned char>(cp932[i + 1]))) {
            out += cp932.substr(i, 2);
            ++i;
        } else if (isControlByte(c) || isUnassignedByte(c) || IsLeadByte(c)) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
