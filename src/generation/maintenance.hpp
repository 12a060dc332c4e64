#pragma once

#include <filesystem>
#include <string_view>

#include "base/system_paths.hpp"

namespace snapwright::generation {

namespace fs = std::filesystem;

// Removes what interrupted runs left behind, and nothing else: in `entry_directory` the
// regular files named as the atomic writer's temporaries of this machine's generated entries
// (".snapwright-<machine id>-....conf.tmp-<pid>-<n>"); in the archive the temporaries of a
// snapshot directory's three files and every empty directory below snapshots/; in the boot store
// at `boot_data_root` the temporaries of interrupted object copies; in `runtime_directory` the
// empty top-level mount points of processes that no longer exist. Symbolic links, other names
// and other machines' files are never touched. An entry temporary that may share its clusters
// with the entry it was replacing (a power cut inside a rename on FAT) is kept, with a warning on
// standard error that names it and suggests fsck.vfat. Failures are I/O errors. The caller holds
// the boot partition lock (generate and gc call it).
void remove_interrupted_leftovers(const fs::path& entry_directory, const fs::path& archive_root,
                                  const fs::path& boot_data_root, std::string_view machine_id,
                                  const fs::path& runtime_directory = base::kRuntimeDirectory);

}  // namespace snapwright::generation
