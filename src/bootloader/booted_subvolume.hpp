#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace snapwright::bootloader {

// The subvolume a kernel command line mounts as root: the value of the last "subvol=" option of
// the last "rootflags=" parameter, as written (the kernel keeps the last of each). Nothing when
// there is none.
[[nodiscard]] std::optional<std::string> booted_subvolume(std::string_view options);

// The path from the top level that a "subvol=" value names, in the form the filesystem lists
// it: no leading, trailing or repeated "/", no "." components, ".." resolved without going above
// the top level; empty for the top level.
[[nodiscard]] std::string subvolume_path_from_top_level(std::string_view value);

}  // namespace snapwright::bootloader
