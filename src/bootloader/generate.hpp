#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string_view>

#include "base/system_paths.hpp"
#include "bootloader/run_context.hpp"
#include "manifest/schema.hpp"
#include "provider/provider.hpp"
#include "store/object_id.hpp"

namespace snapwright::bootloader {

// What the archive and the entry directory hold when a generate run ends, as far as the run has
// read them anyway: the status figures of its summary start from here instead of reading every
// manifest and entry again.
struct FinalState {
    // Every archived manifest, whatever machine or system it came from.
    std::uint64_t archived_manifests = 0;
    // Distinct objects those manifests refer to.
    std::uint64_t archive_references = 0;
    // Whether the run planned exactly the archived manifests (none of another machine or
    // system), so that its plan's budget figures are those of the whole archive.
    bool plan_covers_archive = false;
    // The objects that the generated entries now on disk refer to.
    std::set<store::ObjectId> deployed_references;
};

// What a generate run did, for its one-line summary.
struct GenerateReport {
    std::uint64_t manifests_created = 0;
    std::uint64_t manifests_updated = 0;
    std::uint64_t manifests_removed = 0;
    std::uint64_t asset_references = 0;
    std::uint64_t deployed_snapshots = 0;
    std::uint64_t kernel_sets = 0;
    std::uint64_t deployed_objects = 0;
    std::uint64_t deployed_bytes = 0;
    std::uint64_t average_set_bytes = 0;
    std::uint64_t reserved_bytes = 0;
    std::uint64_t archive_gc_objects = 0;
    std::uint64_t archive_gc_bytes = 0;
    std::uint64_t boot_gc_objects = 0;
    std::uint64_t boot_gc_bytes = 0;
    bool entries_changed = false;
    FinalState final_state;
};

namespace fs = std::filesystem;

// Whether a manifest is this system's: the run's machine ID and operating-system name, byte for
// byte. Only such manifests are planned, by generate and by verify alike.
bool belongs_to_this_system(const manifest::SnapshotManifest& manifest, const RunContext& context);

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
void remove_interrupted_leftovers(const fs::path& entry_directory, const fs::path& archive_root,
                                  const fs::path& boot_data_root, std::string_view machine_id,
                                  const fs::path& runtime_directory = base::kRuntimeDirectory);

// The body of `generate`: brings the archive up to date with the snapshots the provider lists,
// plans what is deployed within the configured limits, and makes the boot filesystem match:
// objects under the boot data root, generated entries in the entry directory, unreferenced
// objects collected in both stores. Every check that can refuse the run (entry parsing,
// capture, planning, rendering, the space budget) happens before the first change to the boot
// filesystem; new objects are in place before an entry names them, and objects are collected
// only after the entries that named them are gone; what interrupted runs left behind is removed
// before the space budget is checked, so that it does not count against it, and again last
// (remove_interrupted_leftovers). The caller holds the boot partition lock.
[[nodiscard]] GenerateReport run_generate(const RunContext& context, provider::Provider& provider);

}  // namespace snapwright::bootloader
