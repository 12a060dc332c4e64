#include "app/pending_parts.hpp"

#include <system_error>

#include "base/app_error.hpp"

namespace snapwright::app::pending {

std::vector<manifest::SnapshotManifest> list_manifests(const std::filesystem::path& root) {
    std::error_code ignored;
    if (!std::filesystem::is_directory(root / "snapshots", ignored)) {
        return {};
    }
    base::throw_error("reading archived manifests is not implemented yet");
}

bootloader::GenerateReport run_generate(const bootloader::RunContext&, provider::Provider&) {
    base::throw_error("the generate run is not implemented yet");
}

}  // namespace snapwright::app::pending
