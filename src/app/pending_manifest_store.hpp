#pragma once

// Stand-in for the manifest store's listing until it is available: same declaration, and an
// implementation that knows only an archive without manifests.

#include <filesystem>
#include <vector>

#include "manifest/schema.hpp"

namespace snapwright::manifest {

[[nodiscard]] std::vector<SnapshotManifest> list_manifests(const std::filesystem::path& root);

}  // namespace snapwright::manifest
