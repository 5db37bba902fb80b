// The artwork built into the program, looked up by file name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace resources {

// The bytes of a built-in file ("skin.bmp", "mailer.bmp", "close.bmp",
// "postwren.ico", "postwren-48.png", ...), or nullopt when there is none by
// that name. Any thread.
std::optional<std::string> Load(std::string_view name);

}  // namespace resources
