#pragma once

#include <filesystem>

#include "system/mount_table.hpp"

namespace snapwright::system {

// Makes sure the archive can be reached at `archive_path` before anything reads or creates it.
// Succeeds when the path is the root of a Btrfs subvolume, and when nothing is there yet but
// the nearest existing directory above it lies on a Btrfs filesystem of `mounts` that is not
// read-only, so that generate can create the subvolume (a system that never archived anything
// reads as an empty archive). Fails with "archive is not reachable at {}: ARCHIVE_PATH is not
// the archive's Btrfs subvolume here, as happens when running from a snapshot whose root does
// not contain it" when an empty directory that is no subvolume stands there (what a snapshot
// holds where a nested subvolume was), or when the path is missing and could not be created
// (a read-only snapshot, a tmpfs on /var). A directory with contents that is no subvolume fails
// as check_archive_subvolume does, and anything but a real directory with "archive path is not
// a real directory: {}". Reads only; needs no privileges beyond reading the path.
void check_archive_reachable(const std::filesystem::path& archive_path, const MountTable& mounts);

}  // namespace snapwright::system
