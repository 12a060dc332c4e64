#pragma once

#include <cstdint>
#include <vector>

#include "bootloader/render.hpp"
#include "generation/plan.hpp"
#include "generation/run_context.hpp"
#include "manifest/schema.hpp"

namespace snapwright::generation {

// Whether a manifest is this system's: the run's machine ID and operating-system name, byte for
// byte. Only such manifests are planned.
[[nodiscard]] bool belongs_to_this_system(const manifest::SnapshotManifest& manifest,
                                          const RunContext& context);

// The entries that generate writes for a given archive, and the plan they come from.
struct DesiredEntries {
    // The plan within the configured limits; its deployments are handed to the renderer and
    // left empty.
    DeploymentPlan plan;
    // How many snapshots the plan deploys.
    std::uint64_t deployed_snapshots = 0;
    // One entry per deployed profile, in the renderer's order.
    std::vector<bootloader::GeneratedEntry> entries;
};

// Which entries generate would write now, given the archived manifests in key order: those of
// other machines or systems are passed over, the rest planned within SNAPSHOT_LIMIT,
// SNAPSHOT_KERNEL_LIMIT and SNAPSHOT_ASSET_LIMIT_BYTES and rendered. Generate writes what this
// answers and verify compares the entry directory with it, so the two cannot disagree. Pure;
// throws what planning and rendering throw.
[[nodiscard]] DesiredEntries desired_entries(std::vector<manifest::SnapshotManifest>&& manifests,
                                             const RunContext& context);

}  // namespace snapwright::generation
