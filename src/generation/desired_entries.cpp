#include "generation/desired_entries.hpp"

#include <utility>

namespace snapwright::generation {

bool belongs_to_this_system(const manifest::SnapshotManifest& manifest, const RunContext& context) {
    return manifest.machine_id == context.machine_id && manifest.os_name == context.os_name;
}

DesiredEntries desired_entries(std::vector<manifest::SnapshotManifest>&& manifests,
                               const RunContext& context) {
    std::erase_if(manifests, [&](const manifest::SnapshotManifest& manifest) {
        return !belongs_to_this_system(manifest, context);
    });
    DesiredEntries desired;
    desired.plan = plan_deployment(std::move(manifests), context.config.snapshot_limit,
                                   context.config.snapshot_kernel_limit,
                                   context.config.snapshot_asset_limit_bytes);
    desired.entries =
        bootloader::render_entries(desired.plan.deployments, context.boot_data_relative);
    desired.deployed_snapshots = desired.plan.deployments.size();
    // Only the objects and figures are needed after rendering; with many snapshots the
    // deployed manifests would otherwise stay for the rest of the run.
    std::vector<manifest::SnapshotManifest>().swap(desired.plan.deployments);
    return desired;
}

}  // namespace snapwright::generation
