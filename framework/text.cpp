#include "framework/text.h"

#include <iconv.h>

#include <cerrno>
#include <limits>

namespace {

// One-shot conversion through glibc iconv. With `replacement` empty a failure
// gives nullopt; otherwise the offending input character is replaced.
std::optional<std::string> convert(const char* to, const char* from, std::string_view in,
                                   std::string_view replacement, std::size_t badInputStep) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out;
    out.resize(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    bool ok = true;
    while (srcLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            const std::size_t used = out.size() - dstLeft;
            out.resize(out.size() * 2);
            dst = out.data() + used;
            dstLeft = out.size() - used;
            continue;
        }
        // EILSEQ or EINVAL: a character with no form on the other side, or a cut sequence.
        if (replacement.empty()) {
            ok = false;
            break;
        }
        const std::size_t used = out.size() - dstLeft;
        if (dstLeft < replacement.size()) {
            out.resize(out.size() * 2 + replacement.size());
            dst = out.data() + used;
            dstLeft = out.size() - used;
        }
        for (char c : replacement) {
            *dst++ = c;
            --dstLeft;
        }
        // Skip the whole bad character when we can tell its length.
        std::size_t step = badInputStep;
        if (badInputStep == 0) {  // UTF-8 input: skip one code point
            const unsigned char c = static_cast<unsigned char>(*src);
            step = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            std::size_t i = 1;
            while (i < step && i < srcLeft && (static_cast<unsigned char>(src[i]) & 0xC0) == 0x80) ++i;
            step = i;
        }
        if (step > srcLeft) step = srcLeft;
        src += step;
        srcLeft -= step;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(out.size() - dstLeft);
    return out;
}

}  // namespace

std::optional<AnsiString> TryUtf8ToCp932(std::string_view utf8) { return convert("CP932", "UTF-8", utf8, {}, 0); }

std::optional<std::string> TryCp932ToUtf8(std::string_view cp932) {
    return convert("UTF-8", "CP932", cp932, {}, 1);
}

AnsiString Utf8ToCp932(std::string_view utf8) { return convert("CP932", "UTF-8", utf8, "?", 0).value_or(""); }

std::string Cp932ToUtf8(std::string_view cp932) {
    return convert("UTF-8", "CP932", cp932, "\xEF\xBF\xBD", 1).value_or("");
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
    if (i >= s.size()) return Default;
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
        if (value > 0xFFFFFFFFull) return Default;
    }
    if (hex) {
        // A hexadecimal value is a 32-bit pattern: $FFFFFFFF is -1.
        const auto pattern = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
        return negative ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(pattern)) : pattern;
    }
    const std::int64_t signedValue = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    if (signedValue < std::numeric_limits<std::int32_t>::min() || signedValue > std::numeric_limits<std::int32_t>::max())
        return Default;
    return static_cast<std::int32_t>(signedValue);
}

AnsiString IntToStr(std::int64_t value) { return std::to_string(value); }

AnsiString TruncateCp932(std::string_view s, std::size_t maxBytes) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t len = (IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) ? 2 : 1;
        if (i + len > maxBytes) break;
        i += len;
    }
    return AnsiString(s.substr(0, i));
}
