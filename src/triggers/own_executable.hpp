#pragma once

#include <functional>
#include <string>

namespace snapwright::triggers {

// The path of the running executable, from the kernel's record of it. When the file was
// replaced while this process ran (a package upgrade), the kernel reports "<path> (deleted)";
// the new file at <path> is then the one to start. Throws "locate snapwright executable" with
// the OS error.
[[nodiscard]] std::string own_executable();

// The decision behind own_executable: `link_text` as read from the kernel; `is_running_binary`
// answers whether a path names the very file this process runs, `exists` whether a regular
// file is at a path.
[[nodiscard]] std::string executable_from_link(
    const std::string& link_text, const std::function<bool(const std::string&)>& is_running_binary,
    const std::function<bool(const std::string&)>& exists);

}  // namespace snapwright::triggers
