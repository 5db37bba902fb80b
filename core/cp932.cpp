#include "core/cp932.h"

#include <iconv.h>

#include <cerrno>

namespace platform {

std::optional<std::string> ConvertText(const char* to, const char* from, std::string_view in,
                                       std::string_view replacement, std::size_t badInputStep) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out;
    out.resize(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    bool ok = true;
    while (srcLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1))
            break;
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
        if (step > srcLeft)
            step = srcLeft;
        src += step;
        srcLeft -= step;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    if (!ok)
        return std::nullopt;
    out.resize(out.size() - dstLeft);
    return out;
}

}  // namespace platform
