#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace snapwright::system {

// The subvolume UUID in `btrfs subvolume show` output: the first line that, trimmed, starts
// with "UUID:" and carries a value other than empty or "-", lower-cased. The "Parent UUID:" and
// "Received UUID:" lines never match, nor does anything from the "Snapshot(s):" line on. Nothing
// when no line carries one.
std::optional<std::string> parse_subvolume_uuid(std::string_view show_output);

// The UUID of the subvolume at `path`, from `btrfs subvolume show -- <path>`. Fails with
// "execute btrfs subvolume show" and the OS error, "cannot inspect Btrfs subvolume {}: {}" with
// the tool's standard error, or "Btrfs subvolume {} has no UUID".
std::string read_subvolume_uuid(const std::filesystem::path& path);

// Succeeds when `archive_path` is the root of a Btrfs subvolume, or else when `btrfs subvolume
// show` accepts it; else "ARCHIVE_PATH must be a Btrfs subvolume: {}: {}" with the path and the
// tool's standard error.
void check_archive_subvolume(const std::filesystem::path& archive_path);

// Makes sure `archive_path` is a Btrfs subvolume: an existing real directory is only checked
// (a plain directory is refused, never converted); a missing one is created with
// `btrfs subvolume create` below its parent, whose missing ancestors become plain directories.
// A symbolic link or any other file at the path is refused ("archive path is not a real
// directory: {}"). On failure, parent directories it created may stay behind.
void ensure_archive_subvolume(const std::filesystem::path& archive_path);

}  // namespace snapwright::system
