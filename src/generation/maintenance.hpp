#pragma once

#include <filesystem>
#include <set>
#include <string_view>

#include "base/system_paths.hpp"
#include "store/object_id.hpp"
#include "store/object_walk.hpp"

namespace snapwright::generation {

namespace fs = std::filesystem;

// Removes what interrupted runs left behind, and nothing else: in `entry_directory` the
// regular files named as the atomic writer's temporaries of this machine's generated entries
// (".snapwright-<machine id>-....conf.tmp-<pid>-<n>"); in the archive the temporaries of a
// snapshot directory's three files and every empty directory below snapshots/; in the boot store
// at `boot_data_root` the temporaries of interrupted object copies and the empty directories of
// interrupted directory creations (one that cannot be removed is named in a warning); in
// `runtime_directory` the empty top-level mount points of processes that no longer exist. Symbolic
// links, other names and other machines' files are never touched. An entry temporary that may share
// its clusters with the entry it was replacing (a power cut inside a rename on FAT) is kept, with a
// warning on standard error that names it and suggests fsck.vfat. Failures are I/O errors. The
// caller holds the boot partition lock (generate and gc call it).
//
// With thousands of snapshots the archive's part is most of the work, so a caller whose own walk
// of the manifests has just seen nothing there to clear (manifest::ManifestWalk) passes
// SnapshotLeftovers::NoneSeen and the archive is not looked through again.
enum class SnapshotLeftovers { Possible, NoneSeen };
void remove_interrupted_leftovers(const fs::path& entry_directory, const fs::path& archive_root,
                                  const fs::path& boot_data_root, std::string_view machine_id,
                                  const fs::path& runtime_directory = base::kRuntimeDirectory,
                                  SnapshotLeftovers snapshots = SnapshotLeftovers::Possible);

// Makes the boot data directory chain `boot_data_relative` under `boot_root`, refusing a symbolic
// link at every level: the directory temporaries an interrupted creation left in the chain are
// removed first (one that must stay is named in a warning), and every directory made is created
// under a temporary name, made durable and renamed into place, so that a power cut never leaves a
// half-made directory under its final name. The caller holds the boot partition lock.
void make_boot_data_chain(const fs::path& boot_root, const fs::path& boot_data_relative);

// Removes every object of the boot store at `boot_data_root` that neither `entry_references`
// (what this machine's generated entries name) nor an older layout's manifests name: objects
// that only those name exist nowhere else until a generate run has migrated that layout into the
// archive and removed it. Generate and gc both collect the boot store through here. The caller
// holds the boot partition lock.
store::GarbageCollection collect_boot_store(const fs::path& boot_data_root,
                                            std::set<store::ObjectId> entry_references);

}  // namespace snapwright::generation
