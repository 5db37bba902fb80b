// Fuzz target for the hive's text: whatever bytes it is given, the parser must
// refuse them or give a document that survives being written out and read
// again with every key and value unchanged, also after each value a caller
// can name has been stored afresh (so that the writer's forms are read back
// too); a key read
// with all its values at once must answer as single reads do; and it must
// never crash or overrun.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/cp932.h"
#include "core/hive_document.h"

using platform::HiveDocument;

namespace {

constexpr std::string_view kRootPrefix = "HKEY_CURRENT_USER";

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "hive fuzz: %s\n", what);
        std::abort();
    }
}

bool sameAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// The key path below the user's root in CP932, as callers give it; false for
// keys under another root or without a CP932 form.
bool callerKeyPath(std::string_view full, std::string& out) {
    if (full.size() < kRootPrefix.size() || !sameAscii(full.substr(0, kRootPrefix.size()), kRootPrefix))
        return false;
    full.remove_prefix(kRootPrefix.size());
    if (!full.empty()) {
        if (full.front() != '\\')
            return false;
        full.remove_prefix(1);
    }
    auto cp932 = platform::Utf8ToCp932Strict(full);
    if (!cp932)
        return false;
    out = std::move(*cp932);
    return true;
}

// The key path and value name a caller gives for `item`, in CP932; false
// when the item has none that leads back to it. Two spellings in the text
// can share one CP932 form (a yen sign and a backslash, say), and a path
// with an empty last part is no key a caller can name: such a caller's
// name reaches another value, or none.
bool callerNames(const HiveDocument::Item& item, std::string& key, std::string& name) {
    auto cp932Name = platform::Utf8ToCp932Strict(item.name);
    if (!cp932Name || platform::Cp932ToUtf8Strict(*cp932Name) != item.name || !callerKeyPath(item.keyPath, key))
        return false;
    std::string full(kRootPrefix);
    if (!key.empty()) {
        const auto utf8Key = platform::Cp932ToUtf8Strict(key);
        if (!utf8Key)
            return false;
        full += '\\';
        full += *utf8Key;
    }
    if (!sameAscii(full, item.keyPath))
        return false;
    name = std::move(*cp932Name);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto doc = HiveDocument::Parse(text);
    if (!doc)
        return 0;

    const auto keys = doc->KeyPaths();
    const auto items = doc->Items();
    const auto again = HiveDocument::Parse(doc->Serialize());
    check(again.has_value(), "the written text does not parse");
    check(again->KeyPaths() == keys, "keys differ after a write and a read");
    check(again->Items() == items, "values differ after a write and a read");

    // A key read at once answers for each of its values as Find does.
    for (const auto& item : items) {
        std::string key;
        const auto name = platform::Utf8ToCp932Strict(item.name);
        if (!name || !callerKeyPath(item.keyPath, key))
            continue;
        platform::HiveKeySnapshot snapshot;
        platform::HiveValue single, fromKey;
        const platform::HiveStatus one = doc->Find(key, *name, single);
        const platform::HiveStatus atOnce = doc->ReadKey(key, snapshot)
                                                ? snapshot.readValue(*name, fromKey)
                                                : platform::HiveStatus::Failed(platform::HiveError::NotFound);
        check(atOnce == one && fromKey == single, "a key read at once differs from a single read");
    }

    // Store every readable value again, so that it is written in this
    // program's own form, and read the whole text back.
    HiveDocument edited = *doc;
    struct Stored {
        std::string key, name;
        platform::HiveValue value;
    };
    std::vector<Stored> stored;
    for (const auto& item : items) {
        std::string key, name;
        if (!item.readable || !callerNames(item, key, name))
            continue;
        if (edited.SetValue(key, name, item.value))
            stored.push_back({key, name, item.value});
    }
    const auto reread = HiveDocument::Parse(edited.Serialize());
    check(reread.has_value(), "the text with values stored afresh does not parse");
    check(reread->Items() == edited.Items(), "values stored afresh differ after a write and a read");
    for (const Stored& s : stored) {
        platform::HiveValue back;
        check(static_cast<bool>(reread->Find(s.key, s.name, back)), "a value stored afresh is gone");
        check(back == s.value, "a value stored afresh reads back different bytes");
    }
    return 0;
}
