// The artwork built into the program, looked up by file name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace resources {

// The bytes of a built-in file ("skin.bmp", "skin@2x.bmp", "mailer.bmp",
// "close.bmp", "postwren.ico", "postwren-48.png", ...), or nullopt when there
// is none by that name. Any thread.
std::optional<std::string> Load(std::string_view name);

// The sizes the application icon is built in at ("postwren-<n>.png"), each
// drawn for its size, smallest first. Any thread.
std::vector<int> IconSizes();

// The name of the application icon in the desktop's icon theme.
constexpr const char* kThemeIconName = "postwren";

// The folder of icon themes that was installed with the program (or put
// beside it in the build tree) and holds the application icon under
// hicolor/; empty when there is none. Needs the application object.
std::string IconThemeFolder();

}  // namespace resources
