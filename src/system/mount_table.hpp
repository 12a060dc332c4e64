#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snapwright::system {

// One mounted filesystem of the flattened findmnt table.
struct MountRow {
    std::string target;
    std::string fsroot;
    std::optional<std::string> uuid;
    std::optional<std::string> label;
    std::optional<std::string> fstype;

    bool operator==(const MountRow&) const = default;
};

using MountTable = std::vector<MountRow>;

// Flattens `findmnt --json` output depth first, parents before children; records without a
// target or fsroot are left out but their children are visited. Throws "JSON operation failed".
MountTable parse_findmnt_json(std::string_view json);
// Runs findmnt once and parses its output: "execute findmnt" with the OS error when it cannot be
// started, "findmnt failed: {}" with its trimmed standard error when it fails.
MountTable read_mount_table();

// The fstype of the row mounted at "/", else "root filesystem type is unavailable".
std::string root_filesystem_type(const MountTable& table);
// The root row's target, else the one Btrfs row's, else "root filesystem mount is unavailable".
std::string root_mount_point(const MountTable& table);
// The root row's uuid, else the one uuid shared by every Btrfs row, else
// "cannot determine the root Btrfs filesystem UUID".
std::string root_filesystem_uuid(const MountTable& table);
// The target of the innermost (and, among equals, latest) mount containing `path`, else
// "no mounted filesystem contains {}".
std::string mount_point_containing(const MountTable& table, const std::filesystem::path& path);

}  // namespace snapwright::system
