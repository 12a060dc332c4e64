#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "system/mount_table.hpp"

namespace snapwright::system {

// The subvolume mounted at "/", as rootflags name it.
struct RootSubvolume {
    // Its path from the top level, as the mount table's FSROOT shows it ("/@"; "/" for the top
    // level itself).
    std::string path;
    std::uint64_t id = 0;
    // Whether it is the filesystem's default subvolume, the one mounted without subvol=.
    bool is_default = false;

    bool operator==(const RootSubvolume&) const = default;
};

// The RootSubvolume of the row mounted at "/" in `table`, its IDs read with libbtrfsutil (the
// default subvolume needs root). Throws "root filesystem mount is unavailable" without such a
// row, "cannot read the Btrfs subvolume ID of {}" or "cannot read the default Btrfs subvolume
// of {}" with the mount point and the OS error.
RootSubvolume read_root_subvolume(const MountTable& table);

// The device path that a root= value names: a "/dev/..." path as written, the
// /dev/disk/by-partuuid link for "PARTUUID=" (lower-cased, as udev names it), the by-label and
// by-partlabel links for "LABEL=" and "PARTLABEL=" (encoded as udev encodes names). Nothing for
// any other form ("UUID=" is compared by value, not resolved).
std::optional<std::filesystem::path> root_device_link(std::string_view root_value);

// The source of the mount at "/" in a /proc/self/mountinfo text (the last one when mounts are
// stacked there), with the octal escapes undone. Nothing when no line mounts "/".
std::optional<std::string> root_mount_source(std::string_view mountinfo);

// The device number in a sysfs "dev" file ("259:3", a line break after it). Nothing for any
// other text.
std::optional<dev_t> parse_device_number(std::string_view text);

// Whether a root= value names the filesystem mounted at "/": "UUID=" compares with
// `root_filesystem_uuid` ignoring ASCII case; the forms of root_device_link compare the device
// number of the block device the link or path resolves to with that of the root mount's source
// (read from /proc/self/mountinfo) and with those of every member device of the Btrfs
// filesystem (/sys/fs/btrfs/<uuid>/devices/*/dev), since mountinfo names only one device of a
// filesystem that spans several. Reads links, mountinfo, sysfs and device numbers only;
// anything that does not resolve to a block device, or cannot be read, does not match.
bool names_root_filesystem(std::string_view root_value, std::string_view root_filesystem_uuid);

}  // namespace snapwright::system
