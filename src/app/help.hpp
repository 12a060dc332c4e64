#pragma once

#include <string>

namespace snapwright::app {

// The usage text printed by `help`: fifteen lines, each ending in a newline.
std::string help_text();
// The line printed by `version`: the version number alone and a newline.
std::string version_text();

}  // namespace snapwright::app
