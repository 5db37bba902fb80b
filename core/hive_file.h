// The per-user hive kept in one text file (see hive_document.h for its
// layout): loading, atomic replacement, locking, moving a damaged file aside,
// and the file's usual place.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/hive.h"

namespace platform {

class Clock;

class HiveDocument;

// A missing file is an empty hive. Entries this program does not use are
// kept when the file is rewritten.
//
// Every change is one read-modify-write under an exclusive lock on
// "<file>.lock" beside the file, so two processes writing at once lose
// nothing of each other's, and ends in one atomic replacement: a temporary
// file created beside the file (O_EXCL, O_NOFOLLOW, mode 0600 from its first
// byte), written, flushed to disk and renamed over the file. Temporary files
// a killed writer left behind are removed by the next change. When the file
// is a symbolic link, the file it leads to is replaced, in that file's
// directory, and the link stays; a link that leads nowhere or in a loop makes
// the store unreadable. The directory is created with mode 0700 when missing.
//
// A file that cannot be parsed, or is larger than MaxFileSize, is damaged:
// its keys cannot be opened, and the next change that creates a key (or
// setAsideDamaged) first moves it aside as "<file>.damaged-<UTC timestamp>";
// it is never deleted or overwritten, and if it cannot be moved aside the
// change fails. A file that exists but cannot be read makes every change
// fail, so nothing unread is ever replaced.
class HiveFile final : public Hive {
public:
    static constexpr std::size_t MaxFileSize = 1024 * 1024;

    // The hive at `path`; nothing is touched until the first call. The wait
    // for another writer's lock is bounded on `clock` (the system's steady
    // clock unless given), which must outlive the hive.
    explicit HiveFile(std::filesystem::path path, const Clock* clock = nullptr);

    // ${XDG_CONFIG_HOME:-$HOME/.config}/postwren/user.reg. A relative
    // XDG_CONFIG_HOME is ignored, as the base directory rules ask; without
    // HOME the password database's home directory is used.
    static std::filesystem::path DefaultPath();

    const std::filesystem::path& path() const { return path_; }

    HiveStatus keyExists(std::string_view keyPath) override;
    HiveStatus createKey(std::string_view keyPath) override;
    HiveStatus valueExists(std::string_view keyPath, std::string_view name) override;
    HiveStatus readValue(std::string_view keyPath, std::string_view name, HiveValue& out) override;
    HiveStatus readKey(std::string_view keyPath, HiveKeySnapshot& out) override;
    HiveStatus writeValue(std::string_view keyPath, std::string_view name, const HiveValue& value) override;
    HiveStatus writeValues(std::string_view keyPath, const std::vector<NamedHiveValue>& values,
                           bool createKey) override;
    HiveStatus setAsideDamaged(std::string& movedTo) override;

private:
    // One locked read-modify-write. `edit` changes the document and says
    // whether it may be stored; a damaged file is moved aside first when
    // `replaceDamaged`, and otherwise ends the change with Damaged.
    HiveStatus change(bool replaceDamaged, const std::function<HiveStatus(HiveDocument&)>& edit);

    std::filesystem::path path_;
    const Clock& clock_;
};

}  // namespace platform
