#pragma once

#include <string>

namespace snapwright::system {

// The running executable as the kernel records it (the /proc/self/exe link, read as is),
// independent of how the program was invoked. Throws "locate snapwright executable" with the
// OS error.
[[nodiscard]] std::string read_executable_link();

}  // namespace snapwright::system
