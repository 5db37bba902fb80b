// What the program has announced of one mailbox: the uids of the messages
// it told the user about, so a later check (or a later run) tells only of
// what came since. State, not settings: it lives under the XDG state
// directory, one small file per server and user, never in the settings file.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/text.h"

class AnnouncedMail {
public:
    // The record of `server` and `user` (CP932, as stored in the settings) in
    // `directory`.
    AnnouncedMail(std::filesystem::path directory, const AnsiString& server, const AnsiString& user);

    // $XDG_STATE_HOME/postwren, or ~/.local/state/postwren.
    static std::filesystem::path DefaultDirectory();

    // The file of this server and user.
    const std::filesystem::path& Path() const { return path_; }

    // The uids announced so far. nullopt when nothing was recorded for this
    // mailbox yet (or the file cannot be read, or belongs to another
    // mailbox): every message then counts as new. Lines that are no uid are
    // skipped; at most a few megabytes are read.
    std::optional<std::set<std::string>> Load() const;

    // Records `announced` (the uids on the server that the user has been
    // told of; nothing else is kept, so the record never outgrows the
    // mailbox) in one atomic replace, mode 0600, its folder 0700. 0 or the
    // errno of the failed step; the old record then stays as it was.
    int Save(const std::vector<std::string>& announced) const;

private:
    // The lines that say whose record a file is.
    std::string ownerLines() const;

    std::filesystem::path path_;
    AnsiString server_;
    AnsiString user_;
};
