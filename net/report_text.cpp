#include "net/report_text.h"

#include <algorithm>
#include <cstdint>

#include "net/sasl.h"

namespace {

// "…" in CP932.
constexpr char kCutMark[] = "\x81\x63";
constexpr std::size_t kCutMarkBytes = sizeof kCutMark - 1;
// "\xNN", as EscapeControls writes a byte.
constexpr std::size_t kEscapedByteLength = 4;

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kBel = 0x07;
constexpr unsigned char kDel = 0x7F;
constexpr unsigned char kFirstPrintable = 0x20;
constexpr char kPercent = '%';

// ECMA-48: after ESC "[", parameter bytes, then intermediate bytes, then one
// final byte; after ESC "]", anything up to BEL or ESC "\".
constexpr char kCsiIntroducer = '[';
constexpr char kOscIntroducer = ']';
constexpr char kStringTerminator = '\\';
constexpr unsigned char kParameterFirst = 0x30, kParameterLast = 0x3F;
constexpr unsigned char kIntermediateFirst = 0x20, kIntermediateLast = 0x2F;
constexpr unsigned char kFinalFirst = 0x40, kFinalLast = 0x7E;

// A base64 text shorter than this, cut out of a longer one, would match too
// much ordinary text to be worth looking for.
constexpr std::size_t kMinBase64Core = 4;
// A redaction can only make a new match out of what it joins; a couple of
// passes settle every case, and the bound keeps a secret made of the
// redaction's own characters from going on for ever.
constexpr int kMaxPasses = 3;

bool isControl(unsigned char c) {
    return c < kFirstPrintable || c == kDel;
}

bool inRange(unsigned char c, unsigned char first, unsigned char last) {
    return c >= first && c <= last;
}

char folded(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// One way of reading the text: its characters, each with the bytes of the
// text it came from.
struct View {
    std::string chars;
    std::vector<std::uint32_t> begin;
    std::vector<std::uint32_t> end;

    void add(char c, std::size_t from, std::size_t to) {
        chars += c;
        begin.push_back(static_cast<std::uint32_t>(from));
        end.push_back(static_cast<std::uint32_t>(to));
    }
};

// The text's bytes, with "%XX" read as the byte it stands for when asked.
View readBytes(std::string_view text, bool decodePercent) {
    View view;
    view.chars.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (decodePercent && text[i] == kPercent && i + 2 < text.size()) {
            const int high = HexDigitValue(text[i + 1]);
            const int low = HexDigitValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                view.add(static_cast<char>(high * 16 + low), i, i + 3);
                i += 2;
                continue;
            }
        }
        view.add(text[i], i, i + 1);
    }
    return view;
}

// `in` without its control characters (and, when asked, without whole
// escape sequences), letters folded to lower case.
View withoutControls(const View& in, bool dropSequences) {
    View out;
    out.chars.reserve(in.chars.size());
    const std::size_t n = in.chars.size();
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(in.chars[i]); };
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = at(i);
        if (c == kEsc && dropSequences && i + 1 < n) {
            const unsigned char next = at(i + 1);
            std::size_t j = i + 2;
            if (next == kCsiIntroducer) {
                while (j < n && inRange(at(j), kParameterFirst, kParameterLast)) ++j;
                while (j < n && inRange(at(j), kIntermediateFirst, kIntermediateLast)) ++j;
                if (j < n && inRange(at(j), kFinalFirst, kFinalLast))
                    ++j;
            } else if (next == kOscIntroducer) {
                while (j < n && at(j) != kBel && !(at(j) == kEsc && j + 1 < n && at(j + 1) == kStringTerminator)) ++j;
                if (j < n)
                    j += at(j) == kBel ? 1 : 2;
            } else {
                j = i + 1;
                while (j < n && inRange(at(j), kIntermediateFirst, kIntermediateLast)) ++j;
                if (j < n && inRange(at(j), kFirstPrintable, kFinalLast))
                    ++j;
            }
            i = std::min(j, n) - 1;
            continue;
        }
        if (isControl(c))
            continue;
        out.add(folded(in.chars[i]), in.begin[i], in.end[i]);
    }
    return out;
}

std::string hexOf(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

// RFC 4648 base64 of `bytes` without padding.
std::string base64Of(std::string_view bytes) {
    std::string out = Base64Of(bytes);
    while (!out.empty() && out.back() == '=') out.pop_back();
    return out;
}

// The base64 characters that `secret` alone decides when it starts `offset`
// bytes (0, 1 or 2) into a longer base64 text.
std::string base64Core(const std::string& secret, std::size_t offset) {
    const std::string padded = std::string(offset, '\0') + secret + std::string(2, '\0');
    const std::string all = base64Of(padded);
    const std::size_t firstBit = 8 * offset;
    const std::size_t endBit = 8 * (offset + secret.size());
    const std::size_t first = (firstBit + 5) / 6;
    if (endBit < 6 || (endBit - 6) / 6 < first)
        return std::string();
    const std::size_t last = (endBit - 6) / 6;
    return all.substr(first, last - first + 1);
}

std::string foldedNeedle(std::string_view form) {
    std::string out;
    for (const char c : form)
        if (!isControl(static_cast<unsigned char>(c)))
            out += folded(c);
    return out;
}

// Every form of the secrets, as the views read them.
std::vector<std::string> needlesOf(const std::vector<std::string>& secrets) {
    std::vector<std::string> forms;
    for (const std::string& secret : secrets) {
        if (secret.empty())
            continue;
        forms.push_back(secret);
        forms.push_back(hexOf(secret));
        forms.push_back(base64Of(secret));
        for (std::size_t offset = 0; offset < 3; ++offset) {
            std::string core = base64Core(secret, offset);
            if (core.size() >= kMinBase64Core)
                forms.push_back(std::move(core));
        }
        // A form's space written as "+".
        if (secret.find(' ') != std::string::npos) {
            std::string plus = secret;
            std::replace(plus.begin(), plus.end(), ' ', '+');
            forms.push_back(std::move(plus));
        }
    }
    std::vector<std::string> needles;
    for (const std::string& form : forms) {
        std::string needle = foldedNeedle(form);
        if (!needle.empty() && std::find(needles.begin(), needles.end(), needle) == needles.end())
            needles.push_back(std::move(needle));
    }
    return needles;
}

// One pass: marks every match in every view; false when nothing matched.
bool redactOnce(std::string& text, const std::vector<std::string>& needles) {
    std::vector<bool> marked(text.size(), false);
    bool any = false;
    for (const bool percent : {false, true}) {
        const View bytes = readBytes(text, percent);
        for (const bool sequences : {false, true}) {
            const View view = withoutControls(bytes, sequences);
            const std::string_view chars = view.chars;
            for (const std::string& needle : needles) {
                for (std::size_t at = chars.find(needle); at != std::string_view::npos;
                     at = chars.find(needle, at + 1)) {
                    std::fill(marked.begin() + view.begin[at], marked.begin() + view.end[at + needle.size() - 1], true);
                    any = true;
                }
            }
        }
    }
    if (!any)
        return false;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (!marked[i]) {
            out += text[i++];
            continue;
        }
        while (i < text.size() && marked[i]) ++i;
        out += kRedactedText;
    }
    const bool changed = out != text;
    text = std::move(out);
    return changed;
}

}  // namespace

AnsiString BoundReportText(std::string_view escaped) {
    if (escaped.size() <= kMaxReportTextBytes)
        return AnsiString(escaped);
    const std::size_t room = kMaxReportTextBytes - kCutMarkBytes;
    std::size_t kept = 0;
    while (kept < escaped.size()) {
        std::size_t step = 1;
        if (IsLeadByte(static_cast<unsigned char>(escaped[kept])) && kept + 1 < escaped.size())
            step = 2;
        else if (escaped.substr(kept, 2) == "\\x" && kept + kEscapedByteLength <= escaped.size())
            step = kEscapedByteLength;
        if (kept + step > room)
            break;
        kept += step;
    }
    return AnsiString(escaped.substr(0, kept)) + kCutMark;
}

AnsiString RedactSecrets(std::string_view text, const std::vector<std::string>& secrets) {
    AnsiString result(text);
    const std::vector<std::string> needles = needlesOf(secrets);
    if (needles.empty())
        return result;
    for (int pass = 0; pass < kMaxPasses && redactOnce(result, needles); ++pass) {
    }
    return result;
}

std::vector<std::string> SaslPlainResponses(const std::string& user, const std::string& password) {
    const std::string nul(1, '\0');
    return {nul + user + nul + password, user + nul + user + nul + password};
}
