// The hive's text in memory: parsing, editing and writing out the layout of
// a registry export, with no I/O. The file store (hive_file.h) loads and
// saves it; tests and the fuzzer drive it directly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/hive.h"

namespace platform {

namespace hive_detail {
// One line of a key's section (with its continuation lines): a value, or a
// comment that is carried along unchanged.
struct Entry {
    bool isComment = false;
    std::string name;  // UTF-8 as in the text; "" is the default value "@"
    HiveValue value;
    bool readable = true;
    // The entry as it stood in the text. Written back unchanged until the
    // value is replaced, so entries we only carry stay byte-exact.
    std::vector<std::string> lines;
};
struct Section {
    std::string path;  // full path as in the text, e.g. HKEY_CURRENT_USER\Software
    std::string headerLine;
    std::vector<Entry> entries;
};
}  // namespace hive_detail

// The line REGEDIT4, then for each key a line [HKEY_CURRENT_USER\path]
// followed by its values, in UTF-8. Values are written as text where the text
// reads back to the same bytes, as dword:xxxxxxxx for four-byte integers and
// as hex otherwise, so every value round-trips. Entries this program does not
// use (other roots, comments, other value types) are carried along, and
// written back unchanged while they are not replaced.
class HiveDocument {
public:
    // One value as it stands in the text: the full key path and the name in
    // UTF-8 as in the file ("" for the default value "@"). `readable` is false
    // when the data has no CP932 form; such a value is kept but cannot be read.
    struct Item {
        std::string keyPath;
        std::string name;
        HiveValue value;
        bool readable = true;

        bool operator==(const Item&) const = default;
    };

    // An empty hive.
    HiveDocument() = default;

    // nullopt when the text is not a hive this program can read (a damaged
    // store). A UTF-8 byte order mark and CR LF line ends are accepted.
    static std::optional<HiveDocument> Parse(std::string_view text);
    // The text of the hive, with LF line ends and no byte order mark.
    std::string Serialize() const;

    // Key paths and value names below are CP932, as the Hive interface takes
    // them; an invalid one (empty component, control character, no UTF-8
    // form) is never found and cannot be created.
    bool KeyExists(std::string_view keyPath) const;
    // Adds the key and its missing parents, each with a section of its own.
    // False for an invalid path.
    bool CreateKey(std::string_view keyPath);
    // Ok with the value in `out`; NotFound; or Unreadable (see Item).
    HiveStatus Find(std::string_view keyPath, std::string_view name, HiveValue& out) const;
    // Ok with every value of the key in `out`, in text order, as Find gives
    // them; NotFound when the key is missing (`out` unchanged then).
    HiveStatus ReadKey(std::string_view keyPath, HiveKeySnapshot& out) const;
    // Stores a value in an existing key, replacing one of the same name (which
    // keeps its spelling). False when the key is missing or a name is invalid.
    bool SetValue(std::string_view keyPath, std::string_view name, const HiveValue& value);

    // Every key with a section, and every value, in text order.
    std::vector<std::string> KeyPaths() const;
    std::vector<Item> Items() const;

private:
    std::vector<std::string> preamble_;  // comments between the header line and the first key
    std::vector<hive_detail::Section> sections_;
};

}  // namespace platform
