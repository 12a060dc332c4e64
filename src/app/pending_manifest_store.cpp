#include "app/pending_manifest_store.hpp"

#include "base/app_error.hpp"

namespace snapwright::manifest {

std::vector<SnapshotManifest> list_manifests(const std::filesystem::path& root) {
    std::error_code ignored;
    if (!std::filesystem::is_directory(root / "snapshots", ignored)) {
        return {};
    }
    base::throw_error("reading archived manifests is not implemented yet");
}

}  // namespace snapwright::manifest
