#pragma once

// What the reports tell of archived snapshots beyond their manifests' fields: which of this
// machine's manifests an operating-system name keeps from being deployed, and which snapshots
// boot read-only.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/schema.hpp"
#include "system/mount_table.hpp"

namespace snapwright::report {

// Counts `manifest` under its name in `names` when it is of `machine_id` but recorded under an
// operating-system name other than `os_name`; a reader of one manifest at a time calls it for
// each.
void count_other_os_manifest(std::map<std::string, std::uint64_t>& names,
                             const manifest::SnapshotManifest& manifest,
                             std::string_view machine_id, std::string_view os_name);

// Counts, by name, the manifests of `machine_id` recorded under an operating-system name other
// than `os_name`.
[[nodiscard]] std::map<std::string, std::uint64_t> other_os_manifests(
    const std::vector<manifest::SnapshotManifest>& manifests, std::string_view machine_id,
    std::string_view os_name);

// Whether the manifest's snapshot is a read-only subvolume: as the Btrfs listing recorded it
// ("readonly"), else as the subvolume reachable through `filesystems` says; false when neither
// tells.
[[nodiscard]] bool boots_read_only(const manifest::SnapshotManifest& manifest,
                                   const system::MountTable& filesystems);

// Where the running system sees `subvolume` (a path from the top level of the filesystem with
// `filesystem_uuid`): below the mount of that filesystem whose subvolume root is the longest
// prefix of it; none when no mount shows it.
[[nodiscard]] std::optional<std::filesystem::path> visible_subvolume_path(
    const system::MountTable& filesystems, std::string_view filesystem_uuid,
    std::string_view subvolume);

}  // namespace snapwright::report
