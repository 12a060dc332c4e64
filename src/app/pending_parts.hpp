#pragma once

// Stand-ins for two pieces the commands call that are not available yet: the manifest
// store's listing and the generate run. They live in a namespace of their own so the real ones
// can arrive without a clash; the callers switch over and this file goes.

#include <filesystem>
#include <vector>

#include "bootloader/run_context.hpp"
#include "manifest/schema.hpp"
#include "provider/snapshot.hpp"

namespace snapwright::app::pending {

// The manifests under `root`/snapshots. Knows only an archive without any: a snapshots
// directory fails with "reading archived manifests is not implemented yet".
[[nodiscard]] std::vector<manifest::SnapshotManifest> list_manifests(
    const std::filesystem::path& root);

// Fails with "the generate run is not implemented yet" without touching anything.
[[nodiscard]] bootloader::GenerateReport run_generate(const bootloader::RunContext& context,
                                                      provider::Provider& provider);

}  // namespace snapwright::app::pending
