#include "report/snapshot_facts.hpp"

#include "base/paths.hpp"
#include "base/text.hpp"
#include "system/subvolume_facts.hpp"

namespace snapwright::report {

namespace fs = std::filesystem;

void count_other_os_manifest(std::map<std::string, std::uint64_t>& names,
                             const manifest::SnapshotManifest& manifest,
                             std::string_view machine_id, std::string_view os_name) {
    if (manifest.machine_id == machine_id && manifest.os_name != os_name) {
        ++names[manifest.os_name];
    }
}

std::map<std::string, std::uint64_t> other_os_manifests(
    const std::vector<manifest::SnapshotManifest>& manifests, std::string_view machine_id,
    std::string_view os_name) {
    std::map<std::string, std::uint64_t> names;
    for (const manifest::SnapshotManifest& manifest : manifests) {
        count_other_os_manifest(names, manifest, machine_id, os_name);
    }
    return names;
}

std::optional<fs::path> visible_subvolume_path(const system::MountTable& filesystems,
                                               std::string_view filesystem_uuid,
                                               std::string_view subvolume) {
    const fs::path wanted = fs::path("/") / fs::path(subvolume).relative_path();
    const system::MountRow* best = nullptr;
    for (const system::MountRow& row : filesystems) {
        if (row.fstype != "btrfs" || !row.uuid ||
            !base::equals_ignore_ascii_case(*row.uuid, filesystem_uuid) ||
            !base::path_starts_with(wanted, row.fsroot)) {
            continue;
        }
        // Among mounts of the same subvolume root the later one is what a path shows.
        if (!best || fs::path(row.fsroot).lexically_normal().native().size() >=
                         fs::path(best->fsroot).lexically_normal().native().size()) {
            best = &row;
        }
    }
    if (!best) {
        return std::nullopt;
    }
    return base::join_under(best->target, wanted.lexically_relative(best->fsroot));
}

bool boots_read_only(const manifest::SnapshotManifest& manifest,
                     const system::MountTable& filesystems) {
    const auto recorded = manifest.snapshot.properties.find("readonly");
    if (recorded != manifest.snapshot.properties.end()) {
        return recorded->second == "true";
    }
    const std::optional<fs::path> path = visible_subvolume_path(
        filesystems, manifest.snapshot.key.filesystem_uuid, manifest.snapshot.subvolume);
    if (!path) {
        return false;
    }
    const std::optional<system::SubvolumeFacts> facts = system::read_subvolume_facts(*path);
    return facts && facts->read_only;
}

}  // namespace snapwright::report
