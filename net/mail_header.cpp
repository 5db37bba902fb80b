#include "net/mail_header.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <optional>

#include "core/text.h"

namespace {

constexpr char kEscape = '\x1b';
constexpr char kSpace = ' ';
constexpr char kTab = '\t';
// The longest charset name an encoded word may carry; anything longer is no
// encoded word but text.
constexpr std::size_t kMaxCharsetName = 40;
// A field's value is not gathered past this many bytes: far more than
// MaxHeaderFieldChars characters need even in encoded words.
constexpr std::size_t kMaxFieldBytes = 16 * 1024;
// UTF-8 of U+FFFD, for bytes a charset has no character for.
constexpr char kReplacement[] = "\xEF\xBF\xBD";
// One escaped byte: "\xNN".
constexpr std::size_t kEscapeChars = 4;

std::string Lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

bool IsFoldingSpace(char c) {
    return c == kSpace || c == kTab;
}

// The iconv name of a MIME charset this reader knows (RFC 2231 language
// suffix taken off), or nullptr. Only these names reach iconv: a server's
// text never chooses a converter module.
const char* IconvName(std::string_view mimeName) {
    std::string name = Lower(mimeName.substr(0, mimeName.find('*')));
    if (name == "utf-8" || name == "utf8" || name == "us-ascii")
        return "UTF-8";
    if (name == "iso-2022-jp")
        return "ISO-2022-JP";
    // Mail that says Shift_JIS is written on Windows, with its extensions.
    if (name == "shift_jis" || name == "shift-jis" || name == "sjis" || name == "x-sjis" || name == "cp932" ||
        name == "windows-31j" || name == "ms_kanji")
        return "CP932";
    if (name == "euc-jp" || name == "x-euc-jp")
        return "EUC-JP-MS";
    // ISO-8859-1 to -15 (there is no -12).
    static constexpr std::array<const char*, 14> kIsoLatin = {
        "ISO-8859-1", "ISO-8859-2", "ISO-8859-3",  "ISO-8859-4",  "ISO-8859-5",  "ISO-8859-6",  "ISO-8859-7",
        "ISO-8859-8", "ISO-8859-9", "ISO-8859-10", "ISO-8859-11", "ISO-8859-13", "ISO-8859-14", "ISO-8859-15"};
    for (const char* iso : kIsoLatin) {
        if (name == Lower(iso))
            return iso;
    }
    static constexpr std::array<const char*, 9> kWindows = {"CP1250", "CP1251", "CP1252", "CP1253", "CP1254",
                                                            "CP1255", "CP1256", "CP1257", "CP1258"};
    for (std::size_t i = 0; i < kWindows.size(); ++i) {
        const std::string digits = "125" + std::to_string(i);
        if (name == "windows-" + digits || name == "cp" + digits)
            return kWindows[i];
    }
    return nullptr;
}

// Bytes in `charset` as UTF-8. Strict: nullopt at the first byte that is no
// character. Lenient: such a byte becomes U+FFFD and the rest goes on.
std::optional<std::string> ToUtf8(const char* charset, std::string_view bytes, bool strict) {
    iconv_t cd = iconv_open("UTF-8", charset);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out;
    char buffer[1024];
    char* src = const_cast<char*>(bytes.data());
    std::size_t srcLeft = bytes.size();
    bool failed = false;
    while (!failed) {
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        const std::size_t n = iconv(cd, srcLeft > 0 ? &src : nullptr, &srcLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (n != static_cast<std::size_t>(-1)) {
            if (srcLeft == 0) {
                // Flush the shift state (ISO-2022-JP back to ASCII).
                dst = buffer;
                dstLeft = sizeof buffer;
                iconv(cd, nullptr, nullptr, &dst, &dstLeft);
                out.append(buffer, static_cast<std::size_t>(dst - buffer));
                break;
            }
            continue;
        }
        if (errno == E2BIG)
            continue;
        // EILSEQ or EINVAL (a character cut off at the end).
        if (strict) {
            failed = true;
            break;
        }
        out += kReplacement;
        ++src;
        --srcLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (srcLeft == 0)
            break;
    }
    iconv_close(cd);
    if (failed)
        return std::nullopt;
    return out;
}

// The code point of the UTF-8 sequence at text[i] and its length, or length
// 0 when the bytes there are no well-formed character (overlong forms and
// surrogates included).
std::pair<std::uint32_t, std::size_t> NextCodePoint(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return {lead, 1};
    std::size_t length = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        cp = lead & 0x1F;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        cp = lead & 0x0F;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        cp = lead & 0x07;
        min = 0x10000;
    } else {
        return {0, 0};
    }
    if (i + length > text.size())
        return {0, 0};
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return {0, 0};
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return {0, 0};
    return {cp, length};
}

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = NextCodePoint(text, i).second;
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// Runs of folding white space as one space, none at either end.
std::string CollapseSpace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool pendingSpace = false;
    for (char c : text) {
        if (IsFoldingSpace(c)) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace)
            out += kSpace;
        pendingSpace = false;
        out += c;
    }
    return out;
}

// Header bytes outside encoded words as UTF-8. RFC 5322 wants ASCII there,
// but Japanese mail often carries raw ISO-2022-JP or Shift_JIS; bytes that
// are none of these stay as they are.
std::string RawToUtf8(std::string_view raw) {
    if (raw.find(kEscape) != std::string_view::npos) {
        if (std::optional<std::string> jis = ToUtf8("ISO-2022-JP", raw, true))
            return *jis;
    }
    if (IsUtf8(raw))
        return std::string(raw);
    if (std::optional<std::string> sjis = ToUtf8("CP932", raw, true))
        return *sjis;
    return std::string(raw);
}

// RFC 2047 4.2: "_" is a space, "=XX" a byte.
std::string DecodeQ(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            out += kSpace;
        } else if (text[i] == '=' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
                   HexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// RFC 2047 4.1 (base64); padding may be missing. nullopt for a character
// outside the alphabet.
std::optional<std::string> DecodeB(std::string_view text) {
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        const int value = Base64Value(c);
        if (value < 0)
            return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// A piece of a header value: plain text, or one decoded encoded word.
struct Piece {
    bool encoded = false;
    const char* charset = nullptr;  // encoded only
    std::string text;               // plain text, or the word's bytes in its charset
};

// The encoded word "=?charset?B|Q?text?=" at value[start], or nullopt; on
// success `end` is just past it.
std::optional<Piece> EncodedWordAt(std::string_view value, std::size_t start, std::size_t& end) {
    if (value.compare(start, 2, "=?") != 0)
        return std::nullopt;
    const std::size_t charsetEnd = value.find('?', start + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd == start + 2 || charsetEnd - start - 2 > kMaxCharsetName ||
        charsetEnd + 2 >= value.size() || value[charsetEnd + 2] != '?')
        return std::nullopt;
    const std::string_view charsetName = value.substr(start + 2, charsetEnd - start - 2);
    if (charsetName.find_first_of(" \t") != std::string_view::npos)
        return std::nullopt;
    const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(value[charsetEnd + 1])));
    const std::size_t textStart = charsetEnd + 3;
    const std::size_t close = value.find("?=", textStart);
    if (close == std::string_view::npos)
        return std::nullopt;
    const std::string_view text = value.substr(textStart, close - textStart);
    if (text.find_first_of(" \t?") != std::string_view::npos)
        return std::nullopt;
    const char* charset = IconvName(charsetName);
    if (charset == nullptr)
        return std::nullopt;
    Piece piece{true, charset, {}};
    if (encoding == 'Q') {
        piece.text = DecodeQ(text);
    } else if (encoding == 'B') {
        std::optional<std::string> bytes = DecodeB(text);
        if (!bytes)
            return std::nullopt;
        piece.text = std::move(*bytes);
    } else {
        return std::nullopt;
    }
    end = close + 2;
    return piece;
}

// RFC 2047 decoding of text that is UTF-8 already outside the encoded words.
std::string DecodeWords(std::string_view value) {
    std::vector<Piece> pieces;
    std::size_t plainStart = 0;
    std::size_t i = 0;
    while (i < value.size()) {
        std::size_t end = 0;
        std::optional<Piece> word = EncodedWordAt(value, i, end);
        if (!word) {
            ++i;
            continue;
        }
        if (i > plainStart)
            pieces.push_back({false, nullptr, std::string(value.substr(plainStart, i - plainStart))});
        pieces.push_back(std::move(*word));
        i = plainStart = end;
    }
    if (plainStart < value.size())
        pieces.push_back({false, nullptr, std::string(value.substr(plainStart))});

    std::string out;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        const Piece& piece = pieces[k];
        if (!piece.encoded) {
            // White space between two encoded words is no part of the text (RFC 2047 6.2).
            const bool between = k > 0 && k + 1 < pieces.size() && pieces[k - 1].encoded && pieces[k + 1].encoded;
            if (!(between && std::all_of(piece.text.begin(), piece.text.end(), IsFoldingSpace)))
                out += piece.text;
            continue;
        }
        // Adjacent words in one charset are converted together: senders split
        // a character's bytes between two words.
        std::string bytes = piece.text;
        for (;;) {
            std::size_t next = k + 1;
            if (next < pieces.size() && !pieces[next].encoded &&
                std::all_of(pieces[next].text.begin(), pieces[next].text.end(), IsFoldingSpace))
                ++next;
            if (next >= pieces.size() || !pieces[next].encoded ||
                std::string_view(pieces[next].charset) != piece.charset)
                break;
            bytes += pieces[next].text;
            k = next;
        }
        out += ToUtf8(piece.charset, bytes, false).value_or(bytes);
    }
    return out;
}

std::string_view WithoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsFoldingSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsFoldingSpace(text.back())) text.remove_suffix(1);
    return text;
}

// A quoted string's content with its quoting undone (RFC 5322 3.2.4).
std::string Unquoted(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return std::string(text);
    std::string out;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\' && i + 2 < text.size())
            ++i;
        out += text[i];
    }
    return out;
}

// The display name and the address of the first mailbox in a From value
// (RFC 5322 3.4): "name <address>", or "address (comment)" with the comment
// as the name.
std::pair<std::string, std::string> ReadMailbox(std::string_view value) {
    bool quoted = false;
    int depth = 0;
    std::size_t angle = std::string_view::npos;
    std::size_t commentStart = std::string_view::npos;
    std::size_t commentEnd = std::string_view::npos;
    std::string bare;  // the value without comments, up to the first mailbox's end
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && (quoted || depth > 0)) {
            if (depth == 0)
                bare.append(value.substr(i, 2));
            ++i;
            continue;
        }
        if (quoted) {
            quoted = c != '"';
            bare += c;
        } else if (depth > 0) {
            if (c == '(')
                ++depth;
            else if (c == ')' && --depth == 0 && commentEnd == std::string_view::npos)
                commentEnd = i;
        } else if (c == '(') {
            depth = 1;
            if (commentStart == std::string_view::npos)
                commentStart = i + 1;
        } else if (c == '"') {
            quoted = true;
            bare += c;
        } else if (c == '<') {
            angle = i;
            break;
        } else if (c == ',') {
            break;
        } else {
            bare += c;
        }
    }
    if (angle != std::string_view::npos) {
        const std::size_t close = value.find('>', angle);
        const std::string_view address =
            value.substr(angle + 1, close == std::string_view::npos ? std::string_view::npos : close - angle - 1);
        return {DecodeWords(Unquoted(Trimmed(bare))), std::string(Trimmed(address))};
    }
    std::string name;
    if (commentStart != std::string_view::npos)
        name = DecodeWords(Trimmed(value.substr(
            commentStart, commentEnd == std::string_view::npos ? std::string_view::npos : commentEnd - commentStart)));
    return {name, std::string(Trimmed(bare))};
}

bool IsFieldNameChar(unsigned char c) {
    return c > ' ' && c < 0x7F && c != ':';
}

}  // namespace

std::string DecodeHeaderText(std::string_view raw) {
    return DecodeWords(RawToUtf8(CollapseSpace(raw)));
}

std::string CleanHeaderField(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    std::size_t chars = 0;
    auto escape = [&](std::string_view bytes) {
        std::string piece;
        for (char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            piece += "\\x";
            piece += kHex[b >> 4];
            piece += kHex[b & 0x0F];
        }
        return piece;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto [cp, length] = NextCodePoint(text, i);
        std::string piece;
        std::size_t pieceChars = 1;
        std::size_t step = length;
        if (length == 0) {
            step = 1;
            piece = escape(text.substr(i, 1));
            pieceChars = kEscapeChars;
        } else if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
            piece = escape(text.substr(i, length));
            pieceChars = kEscapeChars * length;
        } else {
            piece = std::string(text.substr(i, length));
        }
        if (chars + pieceChars > MaxHeaderFieldChars)
            break;
        out += piece;
        chars += pieceChars;
        i += step;
    }
    return out;
}

MessageHeaders ReadMessageHeaders(const std::vector<std::string>& lines) {
    std::optional<std::string> from, subject, date;
    std::optional<std::string>* current = nullptr;
    for (const std::string& whole : lines) {
        const std::string_view line = WithoutLineEnd(whole);
        if (!line.empty() && IsFoldingSpace(line.front())) {
            // A folded line: RFC 5322 2.2.3 unfolding takes away only the line break.
            if (current != nullptr && (*current)->size() < kMaxFieldBytes)
                (*current)->append(line.substr(0, kMaxFieldBytes - (*current)->size()));
            continue;
        }
        current = nullptr;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0 ||
            !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                         [](char c) { return IsFieldNameChar(static_cast<unsigned char>(c)); }))
            continue;
        const std::string name = Lower(line.substr(0, colon));
        std::optional<std::string>* field = nullptr;
        if (name == "from")
            field = &from;
        else if (name == "subject")
            field = &subject;
        else if (name == "date")
            field = &date;
        if (field == nullptr || field->has_value())
            continue;
        *field = std::string(line.substr(colon + 1, kMaxFieldBytes));
        current = field;
    }

    MessageHeaders headers;
    if (from) {
        auto [name, address] = ReadMailbox(RawToUtf8(CollapseSpace(*from)));
        headers.address = CleanHeaderField(address);
        headers.from = CleanHeaderField(name.empty() ? address : name);
    }
    if (subject)
        headers.subject = CleanHeaderField(DecodeHeaderText(*subject));
    if (date)
        headers.date = CleanHeaderField(RawToUtf8(CollapseSpace(*date)));
    return headers;
}
