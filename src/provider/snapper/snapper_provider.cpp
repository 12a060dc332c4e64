#include "provider/snapper/snapper_provider.hpp"

#include "base/text.hpp"
#include "provider/snapper/snapper_csv.hpp"
#include "provider/snapper/snapper_row.hpp"
#include "provider/snapper/snapshot_location.hpp"
#include "system/process.hpp"

namespace snapwright::provider::snapper {

SnapperProvider::SnapperProvider(const std::string& filesystem_uuid, std::string config,
                                 std::optional<fs::path> snapshots_path)
    : filesystem_uuid_(base::to_lower_ascii(filesystem_uuid)),
      config_(std::move(config)),
      snapshots_path_(std::move(snapshots_path)) {}

ProviderScope SnapperProvider::scope() const {
    return {filesystem_uuid_, "snapper", config_};
}

bool SnapperProvider::unlisted_snapshot_exists(const SnapshotDescriptor&) const {
    return false;
}

std::vector<SnapshotDescriptor> SnapperProvider::list_snapshots() {
    const std::string listing = system::run_checked(
        program_,
        {"--no-dbus", "--config", config_, "--no-headers", "--utc", "--machine-readable", "csv",
         "list", "--columns", "number,date,type,description"},
        "execute " + program_, "snapper list failed: ");
    // Without a configured path the subvolume is filled in below; the placeholder never leaves.
    const std::string base = snapshots_path_ ? snapshot_base(*snapshots_path_) : std::string();
    const ProviderScope own_scope = scope();
    std::vector<SnapshotDescriptor> descriptors;
    for (const CsvRecord& record : split_snapper_csv(listing)) {
        if (auto descriptor = describe_snapper_row(record, own_scope, base)) {
            descriptors.push_back(std::move(*descriptor));
        }
    }
    if (!snapshots_path_ && !descriptors.empty()) {
        const std::string settings = system::run_checked(
            program_,
            {"--no-dbus", "--config", config_, "--no-headers", "--machine-readable", "csv",
             "get-config", "--columns", "key,value"},
            "execute " + program_, "snapper get-config failed: ");
        const fs::path directory =
            config_subvolume(split_snapper_csv(settings), config_) / ".snapshots";
        descriptors = locate_snapshot_subvolumes(std::move(descriptors), directory,
                                                 filesystem_uuid_, system::read_subvolume_location);
    }
    sort_descriptors(descriptors);
    return descriptors;
}

}  // namespace snapwright::provider::snapper
