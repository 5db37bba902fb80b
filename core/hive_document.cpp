#include "core/hive_document.h"

#include <cstdio>
#include <unordered_map>
#include <utility>

#include "core/cp932.h"
#include "core/text.h"

namespace platform {

using hive_detail::Entry;
using hive_detail::Section;

namespace {

constexpr std::string_view kFileHeader = "REGEDIT4";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Every key in the text lives under the current user's root.
constexpr std::string_view kRootName = "HKEY_CURRENT_USER";
constexpr char kPathSeparator = '\\';
// Hex data is wrapped as the registry editor does, so lines stay under 80 columns.
constexpr std::size_t kHexLineLimit = 76;
constexpr std::string_view kHexContinuationIndent = "  ";

// --- text helpers ---------------------------------------------------------

// The program's texts are CP932; the file is UTF-8. Conversions are strict:
// any byte sequence without a form on the other side fails the whole text.
std::optional<std::string> cp932ToUtf8(std::string_view s) {
    return Cp932ToUtf8Strict(s);
}
std::optional<std::string> utf8ToCp932(std::string_view s) {
    return Utf8ToCp932Strict(s);
}

char foldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Registry names compare without regard to case. The file is UTF-8, whose
// multi-byte sequences never contain ASCII bytes, so folding ASCII is safe.
bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    return true;
}

std::string foldedName(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = foldAscii(c);
    return out;
}

bool startsWithName(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && sameName(s.substr(0, prefix.size()), prefix);
}

bool hasControlByte(std::string_view s) {
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// 1 to 8 hex digits, nothing else.
std::optional<std::uint32_t> parseHex32(std::string_view s) {
    if (s.empty() || s.size() > 8)
        return std::nullopt;
    std::uint32_t v = 0;
    for (const char c : s) {
        const int d = HexDigitValue(c);
        if (d < 0)
            return std::nullopt;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    return v;
}

std::string escapeQuoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (const char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

// Reads a quoted text starting at s[0] == '"', with \\ and \" escapes.
// Returns the text and advances `s` past the closing quote; nullopt when the
// quote is not closed or another escape is used.
std::optional<std::string> takeQuoted(std::string_view& s) {
    if (s.empty() || s.front() != '"')
        return std::nullopt;
    std::string out;
    std::size_t i = 1;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"')
            break;
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                return std::nullopt;
            out += s[++i];
            continue;
        }
        out += c;
    }
    if (i >= s.size())
        return std::nullopt;
    s.remove_prefix(i + 1);
    return out;
}

std::optional<std::string> parseHexBytes(std::string_view s) {
    std::string out;
    s = trimRight(trimLeft(s));
    if (s.empty())
        return out;
    out.reserve(s.size() / 3 + 1);
    while (true) {
        const std::size_t comma = s.find(',');
        const std::string_view token = trimRight(trimLeft(s.substr(0, comma)));
        if (token.empty() || token.size() > 2)
            return std::nullopt;
        int value = 0;
        for (const char c : token) {
            const int d = HexDigitValue(c);
            if (d < 0)
                return std::nullopt;
            value = value * 16 + d;
        }
        out += static_cast<char>(value);
        if (comma == std::string_view::npos)
            break;
        s.remove_prefix(comma + 1);
    }
    return out;
}

// --- the document ---------------------------------------------------------

// The parsed text before it becomes a HiveDocument.
struct Parsed {
    std::vector<std::string> preamble;
    std::vector<Section> sections;
};

template <typename NextLine>
std::optional<Entry> parseData(std::string_view rhs, NextLine&& nextLine) {
    Entry e;
    rhs = trimLeft(rhs);
    if (!rhs.empty() && rhs.front() == '"') {
        std::string_view rest = rhs;
        auto text = takeQuoted(rest);
        if (!text || !trimRight(rest).empty())
            return std::nullopt;
        e.value.type = REG_SZ;
        if (auto cp932 = utf8ToCp932(*text)) {
            e.value.data = std::move(*cp932);
        } else {
            e.readable = false;
        }
        e.value.data += '\0';
        return e;
    }
    constexpr std::string_view dwordTag = "dword:";
    if (startsWithName(rhs, dwordTag)) {
        const auto v = parseHex32(trimRight(rhs.substr(dwordTag.size())));
        if (!v)
            return std::nullopt;
        e.value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i) e.value.data += static_cast<char>((*v >> (8 * i)) & 0xFF);
        return e;
    }
    constexpr std::string_view hexTag = "hex";
    if (!startsWithName(rhs, hexTag))
        return std::nullopt;
    rhs.remove_prefix(hexTag.size());
    std::uint32_t type = REG_BINARY;
    if (!rhs.empty() && rhs.front() == '(') {
        const std::size_t close = rhs.find(')');
        if (close == std::string_view::npos)
            return std::nullopt;
        const auto t = parseHex32(rhs.substr(1, close - 1));
        if (!t)
            return std::nullopt;
        type = *t;
        rhs.remove_prefix(close + 1);
    }
    if (rhs.empty() || rhs.front() != ':')
        return std::nullopt;
    rhs.remove_prefix(1);
    // Long hex data is wrapped: a line ending in '\' continues on the next.
    std::string joined(trimRight(rhs));
    while (!joined.empty() && joined.back() == '\\') {
        joined.pop_back();
        const std::optional<std::string_view> more = nextLine();
        if (!more)
            return std::nullopt;
        joined.append(trimRight(trimLeft(*more)));
    }
    auto bytes = parseHexBytes(joined);
    if (!bytes)
        return std::nullopt;
    e.value.type = type;
    e.value.data = std::move(*bytes);
    return e;
}

// nullopt when the text is not a hive file we can read.
std::optional<Parsed> parseDocument(std::string_view text) {
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom)
        text.remove_prefix(kUtf8Bom.size());
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (nl == std::string_view::npos)
            break;
        text.remove_prefix(nl + 1);
    }

    std::size_t i = 0;
    auto nextNonBlank = [&]() -> std::optional<std::string_view> {
        while (i < lines.size()) {
            const std::string_view l = lines[i++];
            if (!trimRight(trimLeft(l)).empty())
                return l;
        }
        return std::nullopt;
    };
    const auto first = nextNonBlank();
    if (!first || trimRight(*first) != kFileHeader)
        return std::nullopt;

    Parsed doc;
    // Folded names to positions, so that a hostile file of many keys or
    // values still loads in linear time.
    std::unordered_map<std::string, std::size_t> sectionAt;
    std::vector<std::unordered_map<std::string, std::size_t>> entryAt;
    Section* current = nullptr;
    std::unordered_map<std::string, std::size_t>* currentEntries = nullptr;
    while (auto raw = nextNonBlank()) {
        const std::string_view line = trimRight(trimLeft(*raw));
        if (line.front() == ';') {
            if (current == nullptr) {
                doc.preamble.emplace_back(*raw);
            } else {
                Entry comment;
                comment.isComment = true;
                comment.lines.emplace_back(*raw);
                current->entries.push_back(std::move(comment));
            }
            continue;
        }
        if (line.front() == '[') {
            if (line.size() < 2 || line.back() != ']')
                return std::nullopt;
            const std::string_view path = line.substr(1, line.size() - 2);
            // "[-key]" deletes a key on import; it has no place in a stored hive.
            if (path.empty() || path.front() == '-')
                return std::nullopt;
            const auto [at, added] = sectionAt.try_emplace(foldedName(path), doc.sections.size());
            if (added) {
                doc.sections.push_back(Section{std::string(path), std::string(line), {}});
                entryAt.emplace_back();
            }
            current = &doc.sections[at->second];
            currentEntries = &entryAt[at->second];
            continue;
        }
        if (current == nullptr)
            return std::nullopt;
        std::string_view rest = line;
        std::string name;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            auto quoted = takeQuoted(rest);
            if (!quoted)
                return std::nullopt;
            name = std::move(*quoted);
        }
        rest = trimLeft(rest);
        if (rest.empty() || rest.front() != '=')
            return std::nullopt;
        rest.remove_prefix(1);
        const std::size_t firstLine = i - 1;
        auto entry = parseData(rest, [&]() -> std::optional<std::string_view> {
            if (i >= lines.size())
                return std::nullopt;
            return lines[i++];
        });
        if (!entry)
            return std::nullopt;
        entry->name = std::move(name);
        for (std::size_t k = firstLine; k < i; ++k) entry->lines.emplace_back(lines[k]);
        // A name given twice: the later one wins, as it would on import.
        const auto [at, added] = currentEntries->try_emplace(foldedName(entry->name), current->entries.size());
        if (added) {
            current->entries.push_back(std::move(*entry));
        } else {
            current->entries[at->second] = std::move(*entry);
        }
    }
    return doc;
}

// A REG_SZ is written as readable text when that text reads back to exactly
// the same bytes: one terminating zero and no other, no control characters,
// and a CP932 form that converts to UTF-8 and back unchanged.
std::optional<std::string> readableText(const HiveValue& v) {
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != '\0')
        return std::nullopt;
    const std::string_view text(v.data.data(), v.data.size() - 1);
    if (text.find('\0') != std::string_view::npos || hasControlByte(text))
        return std::nullopt;
    auto utf8 = cp932ToUtf8(text);
    if (!utf8)
        return std::nullopt;
    const auto back = utf8ToCp932(*utf8);
    if (!back || *back != text)
        return std::nullopt;
    return utf8;
}

std::vector<std::string> formatEntry(std::string_view name, const HiveValue& v) {
    std::string first = name.empty() ? std::string("@") : escapeQuoted(name);
    first += '=';
    if (auto text = readableText(v)) {
        first += escapeQuoted(*text);
        return {std::move(first)};
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        first += buf;
        return {std::move(first)};
    }
    if (v.type == REG_BINARY) {
        first += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        first += buf;
    }
    std::vector<std::string> lines;
    std::string line = std::move(first);
    bool lineHasBytes = false;
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < v.data.size(); ++i) {
        const auto b = static_cast<unsigned char>(v.data[i]);
        const bool last = i + 1 == v.data.size();
        const std::size_t tokenSize = last ? 2 : 3;
        if (lineHasBytes && line.size() + tokenSize > kHexLineLimit) {
            line += '\\';
            lines.push_back(std::move(line));
            line = std::string(kHexContinuationIndent);
        }
        line += digits[b >> 4];
        line += digits[b & 0x0F];
        if (!last)
            line += ',';
        lineHasBytes = true;
    }
    lines.push_back(std::move(line));
    return lines;
}

// Converts a key path from the caller's CP932 to the text's full UTF-8 path.
// nullopt when the path is not a valid key path.
std::optional<std::string> fullKeyPath(std::string_view keyPath) {
    std::string full(kRootName);
    if (keyPath.empty())
        return full;
    auto utf8 = cp932ToUtf8(keyPath);
    if (!utf8 || hasControlByte(*utf8))
        return std::nullopt;
    std::string_view rest = *utf8;
    while (true) {
        const std::size_t sep = rest.find(kPathSeparator);
        if (rest.substr(0, sep).empty())
            return std::nullopt;  // empty component
        if (sep == std::string_view::npos)
            break;
        rest.remove_prefix(sep + 1);
    }
    full += kPathSeparator;
    full += *utf8;
    return full;
}

std::optional<std::string> valueName(std::string_view name) {
    auto utf8 = cp932ToUtf8(name);
    if (!utf8 || hasControlByte(*utf8))
        return std::nullopt;
    return utf8;
}

bool keyExistsIn(const std::vector<Section>& sections, std::string_view fullPath) {
    if (sameName(fullPath, kRootName))
        return true;
    for (const Section& s : sections) {
        if (sameName(s.path, fullPath))
            return true;
        // A key exists when any key below it does, with or without its own section.
        if (s.path.size() > fullPath.size() && startsWithName(s.path, fullPath) &&
            s.path[fullPath.size()] == kPathSeparator)
            return true;
    }
    return false;
}

template <typename Sections>
auto findSectionIn(Sections& sections, std::string_view fullPath) -> decltype(&sections.front()) {
    for (auto& s : sections)
        if (sameName(s.path, fullPath))
            return &s;
    return nullptr;
}

template <typename SectionT>
auto findEntryIn(SectionT& section, std::string_view name) -> decltype(&section.entries.front()) {
    for (auto& e : section.entries)
        if (!e.isComment && sameName(e.name, name))
            return &e;
    return nullptr;
}

}  // namespace

std::optional<HiveDocument> HiveDocument::Parse(std::string_view text) {
    auto parsed = parseDocument(text);
    if (!parsed)
        return std::nullopt;
    HiveDocument doc;
    doc.preamble_ = std::move(parsed->preamble);
    doc.sections_ = std::move(parsed->sections);
    return doc;
}

std::string HiveDocument::Serialize() const {
    std::string out(kFileHeader);
    out += '\n';
    for (const std::string& l : preamble_) out.append(l).append("\n");
    for (const Section& s : sections_) {
        out.append("\n").append(s.headerLine).append("\n");
        for (const Entry& e : s.entries)
            for (const std::string& l : e.lines) out.append(l).append("\n");
    }
    out += '\n';
    return out;
}

bool HiveDocument::KeyExists(std::string_view keyPath) const {
    const auto full = fullKeyPath(keyPath);
    return full && keyExistsIn(sections_, *full);
}

bool HiveDocument::CreateKey(std::string_view keyPath) {
    const auto full = fullKeyPath(keyPath);
    if (!full)
        return false;
    if (keyExistsIn(sections_, *full))
        return true;
    // Give each missing key on the way down its own section, as an export does.
    std::size_t pos = kRootName.size();
    while (pos != std::string::npos) {
        pos = full->find(kPathSeparator, pos + 1);
        const std::string prefix = full->substr(0, pos);
        if (!keyExistsIn(sections_, prefix))
            sections_.push_back(Section{prefix, "[" + prefix + "]", {}});
    }
    return true;
}

HiveStatus HiveDocument::Find(std::string_view keyPath, std::string_view name, HiveValue& out) const {
    const auto full = fullKeyPath(keyPath);
    const auto utf8Name = valueName(name);
    if (!full || !utf8Name)
        return HiveStatus::Failed(HiveError::NotFound);
    const Section* s = findSectionIn(sections_, *full);
    const Entry* e = s != nullptr ? findEntryIn(*s, *utf8Name) : nullptr;
    if (e == nullptr)
        return HiveStatus::Failed(HiveError::NotFound);
    if (!e->readable)
        return HiveStatus::Failed(HiveError::Unreadable);
    out = e->value;
    return HiveStatus::Ok();
}

HiveStatus HiveDocument::ReadKey(std::string_view keyPath, HiveKeySnapshot& out) const {
    const auto full = fullKeyPath(keyPath);
    if (!full || !keyExistsIn(sections_, *full))
        return HiveStatus::Failed(HiveError::NotFound);
    std::vector<HiveKeyValue> values;
    if (const Section* s = findSectionIn(sections_, *full)) {
        for (const Entry& e : s->entries) {
            if (e.isComment)
                continue;
            // Only a name that Find can be asked for: one whose CP932 form
            // leads back to it.
            const auto name = utf8ToCp932(e.name);
            if (!name || valueName(*name) != e.name)
                continue;
            values.push_back(HiveKeyValue{*name, e.readable ? e.value : HiveValue{}, e.readable});
        }
    }
    out = HiveKeySnapshot(std::move(values));
    return HiveStatus::Ok();
}

bool HiveDocument::SetValue(std::string_view keyPath, std::string_view name, const HiveValue& value) {
    const auto full = fullKeyPath(keyPath);
    const auto utf8Name = valueName(name);
    if (!full || !utf8Name || !keyExistsIn(sections_, *full))
        return false;
    Section* s = findSectionIn(sections_, *full);
    if (s == nullptr) {
        sections_.push_back(Section{*full, "[" + *full + "]", {}});
        s = &sections_.back();
    }
    Entry* entry = findEntryIn(*s, *utf8Name);
    if (entry == nullptr) {
        s->entries.push_back(Entry{});
        entry = &s->entries.back();
        entry->name = *utf8Name;
    }
    entry->value = value;
    entry->readable = true;
    entry->lines = formatEntry(entry->name, value);
    return true;
}

std::vector<std::string> HiveDocument::KeyPaths() const {
    std::vector<std::string> paths;
    paths.reserve(sections_.size());
    for (const Section& s : sections_) paths.push_back(s.path);
    return paths;
}

std::vector<HiveDocument::Item> HiveDocument::Items() const {
    std::vector<Item> items;
    for (const Section& s : sections_)
        for (const Entry& e : s.entries)
            if (!e.isComment)
                items.push_back(Item{s.path, e.name, e.value, e.readable});
    return items;
}

}  // namespace platform
