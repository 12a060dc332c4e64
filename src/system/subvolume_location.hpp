#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace snapwright::system {

// Where a subvolume lies: the filesystem that holds it and its path from that filesystem's top
// level, which is what the kernel needs in "rootflags=subvol=".
struct SubvolumeLocation {
    // Lower case, as the mount table shows it.
    std::string filesystem_uuid;
    // Without a leading "/" ("@/.snapshots/1/snapshot"); empty for the top level itself.
    std::string path;

    bool operator==(const SubvolumeLocation&) const = default;
};

// The location of the subvolume whose root directory is `path`, a final symbolic link not
// followed, read with the library's ioctls. Nothing when the path cannot be opened as a
// directory, is a plain directory rather than the root of a Btrfs subvolume, or the filesystem
// refuses the query (the path lookup needs CAP_SYS_ADMIN).
[[nodiscard]] std::optional<SubvolumeLocation> read_subvolume_location(
    const std::filesystem::path& path);

// The paths from the top level, without a leading "/", of every subvolume below the top level
// of the Btrfs filesystem that holds `path` (the top level itself is not listed). Needs
// CAP_SYS_ADMIN. Throws "list the Btrfs subvolumes of <path>" with the OS error.
[[nodiscard]] std::set<std::string> list_subvolume_paths(const std::filesystem::path& path);

// The paths of list_subvolume_paths handed to `visit` one at a time, in the library's order, for
// a caller that looks for a few of them on a filesystem with many: nothing is held for the paths
// it does not keep. Throws as list_subvolume_paths.
void for_each_subvolume_path(const std::filesystem::path& path,
                             const std::function<void(std::string_view)>& visit);

}  // namespace snapwright::system
