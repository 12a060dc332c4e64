#pragma once

#include <filesystem>

#include "config/config.hpp"
#include "system/mount_table.hpp"

namespace snapwright::bootloader {

namespace fs = std::filesystem;

// Where systemd-boot reads entries: the root of the boot filesystem and the entry directory.
struct EntryLocation {
    fs::path boot_root;
    fs::path entry_directory;

    bool operator==(const EntryLocation&) const = default;
};

// Finds the boot root and the entry directory from BOOT_PATH and ENTRIES_DIRECTORY, probing
// "/boot", "/efi" and "/boot/efi" when neither is set and asking the mount table when only
// ENTRIES_DIRECTORY is. Throws "cannot find systemd-boot Type #1 entries; ..." when the probe
// finds nothing, or the mount table's own error.
[[nodiscard]] EntryLocation locate_entry_directory(const config::Config& config,
                                                   const system::MountTable& mounts);

// Checks that the boot root and the entry directory are real directories and that the entry
// directory lies inside the boot root (by whole components). Links are never followed.
void check_entry_location(const EntryLocation& location);

// Throws "systemd-boot entry directory is unavailable: <path>" unless `entry_directory` is a
// real directory (not a link to one).
void check_entry_directory(const fs::path& entry_directory);

// Whether `path` is a directory by its own metadata; any inspection failure counts as not.
[[nodiscard]] bool is_real_directory(const fs::path& path);

}  // namespace snapwright::bootloader
