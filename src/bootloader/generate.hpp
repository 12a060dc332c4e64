#pragma once

#include <filesystem>
#include <string_view>

#include "base/system_paths.hpp"
#include "bootloader/run_context.hpp"
#include "provider/snapshot.hpp"

namespace snapwright::bootloader {

namespace fs = std::filesystem;

// Removes what interrupted runs left behind, and nothing else: in `entry_directory` the
// regular files named as the atomic writer's temporaries of this machine's generated entries
// (".snapwright-<machine id>-....conf.tmp-<pid>-<n>"); in the archive the temporaries of a
// snapshot directory's three files and every empty directory below snapshots/; in
// `runtime_directory` the empty top-level mount points of processes that no longer exist.
// Symbolic links, other names and other machines' files are never touched. Failures are I/O
// errors. The caller holds the boot partition lock (generate and gc call it).
void remove_interrupted_leftovers(const fs::path& entry_directory, const fs::path& archive_root,
                                  std::string_view machine_id,
                                  const fs::path& runtime_directory = base::kRuntimeDirectory);

// The body of `generate`: brings the archive up to date with the snapshots the provider lists,
// plans what is deployed within the configured limits, and makes the boot filesystem match:
// objects under the boot data root, generated entries in the entry directory, unreferenced
// objects collected in both stores. Every check that can refuse the run (entry parsing,
// capture, planning, rendering, the space budget) happens before the first change to the boot
// filesystem; new objects are in place before an entry names them, and objects are collected
// only after the entries that named them are gone; what interrupted runs left behind is removed
// last (remove_interrupted_leftovers). The caller holds the boot partition lock.
[[nodiscard]] GenerateReport run_generate(const RunContext& context, provider::Provider& provider);

}  // namespace snapwright::bootloader
