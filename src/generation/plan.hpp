#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "manifest/schema.hpp"
#include "store/object_id.hpp"

namespace snapwright::generation {

// What is deployed to the boot filesystem.
struct DeploymentPlan {
    // Copies of the deployed manifests, each with only its profiles of selected kernel sets.
    std::vector<manifest::SnapshotManifest> deployments;
    // Every object of every selected kernel set, once, with its size.
    std::map<store::ObjectId, std::uint64_t> objects;
    std::uint64_t kernel_set_count = 0;
    std::uint64_t deployed_bytes = 0;
    // Rounded-up mean kernel plus initramfs bytes of the selected sets; 0 when none is selected.
    std::uint64_t average_set_bytes = 0;
    // Room the boot filesystem must keep free for two average sets.
    std::uint64_t reserve_bytes = 0;

    bool operator==(const DeploymentPlan&) const = default;
};

// Decides from the manifests alone which snapshots and profiles get entries: the newest
// `snapshot_limit` snapshots, at most `kernel_limit` distinct kernel sets (those of the newest
// snapshot and the most used first), whose objects together fit in `asset_limit_bytes`. Any
// limit of 0, or no manifest, gives the empty plan. Pure. Throws when the newest snapshot's
// kernel set alone exceeds the asset limit, on inconsistent object sizes and on overflow.
// The deployed manifests are moved out of `manifests`, so a caller that has no further use for
// them hands them over instead of holding two copies.
[[nodiscard]] DeploymentPlan plan_deployment(std::vector<manifest::SnapshotManifest> manifests,
                                             std::uint64_t snapshot_limit,
                                             std::uint64_t kernel_limit,
                                             std::uint64_t asset_limit_bytes);

}  // namespace snapwright::generation
