#include "provider/snapper/snapshot_location.hpp"

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"

namespace snapwright::provider::snapper {

std::filesystem::path config_subvolume(const std::vector<CsvRecord>& records,
                                       std::string_view config) {
    for (const CsvRecord& record : records) {
        if (record.fields.size() < 2 || base::trim(record.fields[0]) != "SUBVOLUME") {
            continue;
        }
        const std::string_view value = base::trim(record.fields[1]);
        if (value.empty()) {
            break;
        }
        if (!value.starts_with('/')) {
            base::throw_error(
                "Snapper configuration " + std::string(config) +
                " names a subvolume that is not an absolute path: " + std::string(value));
        }
        return std::filesystem::path(value);
    }
    base::throw_error("Snapper configuration " + std::string(config) + " names no subvolume");
}

namespace {

// The kernel command line splits at white space and rootflags at commas, and quotes are its
// own: a subvolume whose path holds any of them cannot be named there.
bool can_name_on_command_line(std::string_view path) {
    if (!base::is_valid_utf8(path) || base::split_unicode_whitespace(path).size() != 1) {
        return false;
    }
    for (const char c : path) {
        if (c == ',' || c == '"' || static_cast<unsigned char>(c) < ' ' || c == '\x7f') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<SnapshotDescriptor> locate_snapshot_subvolumes(
    std::vector<SnapshotDescriptor> descriptors, const std::filesystem::path& snapshot_directory,
    std::string_view filesystem_uuid, const SubvolumeReader& read) {
    std::vector<SnapshotDescriptor> located;
    for (SnapshotDescriptor& descriptor : descriptors) {
        const std::optional<system::SubvolumeLocation> location =
            read(snapshot_directory / descriptor.key.snapshot_id / "snapshot");
        if (!location || location->filesystem_uuid != filesystem_uuid ||
            !can_name_on_command_line(location->path)) {
            continue;
        }
        descriptor.subvolume = "/" + location->path;
        located.push_back(std::move(descriptor));
    }
    if (located.empty() && !descriptors.empty()) {
        base::throw_error("none of the " + std::to_string(descriptors.size()) +
                          " snapshots Snapper lists has a readable subvolume in " +
                          base::display_path(snapshot_directory));
    }
    return located;
}

}  // namespace snapwright::provider::snapper
