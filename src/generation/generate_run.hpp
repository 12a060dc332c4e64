#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "generation/desired_entries.hpp"
#include "generation/run_context.hpp"
#include "provider/provider.hpp"

namespace snapwright::generation {

// What a generate run did and what it leaves, for its one-line summary and its warnings.
struct GenerateReport {
    // Every archived manifest after the run, whatever machine or system it came from.
    std::uint64_t archived_manifests = 0;
    std::uint64_t manifests_created = 0;
    std::uint64_t manifests_updated = 0;
    std::uint64_t manifests_removed = 0;
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
    // The manifests of this machine recorded under another operating-system name, counted by
    // name.
    std::map<std::string, std::uint64_t> other_os_manifests;
};

// The body of `generate`: brings the archive up to date with the snapshots the provider lists,
// plans what is deployed within the configured limits, and makes the boot filesystem match:
// objects under the boot data root, generated entries in the entry directory, unreferenced
// objects collected in both stores. Every check that can refuse the run (entry parsing,
// capture, planning, rendering, the boot space check) happens before the first change to the boot
// filesystem; new objects are in place before an entry names them, and objects are collected
// only after the entries that named them are gone; what interrupted runs left behind is removed
// before the boot space is checked, so that it does not count against it, and again last
// (remove_interrupted_leftovers). The entry directory was checked when the context was built;
// deployment checks it again just before it changes anything. The caller holds the boot
// partition lock.
[[nodiscard]] GenerateReport run_generate(const RunContext& context, provider::Provider& provider);

}  // namespace snapwright::generation
