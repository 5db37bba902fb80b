// Modules that programs load only when they need what is in them.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Where a module is: `fromProgram` taken from the program's own folder (so a
// build or an installation anywhere finds its own), then `installed`.
std::vector<std::string> ModulePaths(const char* fromProgram, const char* installed);

// The first of `paths` that exists, opened (and never closed: what it made
// may outlive any owner), and the address of its `entry`. Null when none
// could be, with `why` saying so in one line.
void* LoadModuleEntry(const std::vector<std::string>& paths, const char* entry, const char* what, std::string& why);

}  // namespace platform
