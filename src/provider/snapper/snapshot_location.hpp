#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "provider/snapper/snapper_csv.hpp"
#include "provider/snapshot.hpp"
#include "system/subvolume_location.hpp"

namespace snapwright::provider::snapper {

// The mount point of the subvolume a Snapper configuration snapshots: the value of its
// SUBVOLUME key in the records of `get-config` (columns key and value). Throws "Snapper
// configuration <config> names no subvolume" when the key is missing or empty and "Snapper
// configuration <config> names a subvolume that is not an absolute path: <value>".
[[nodiscard]] std::filesystem::path config_subvolume(const std::vector<CsvRecord>& records,
                                                     std::string_view config);

// Reads where the subvolume whose root directory is the path lies; nothing when it cannot.
using SubvolumeReader =
    std::function<std::optional<system::SubvolumeLocation>(const std::filesystem::path&)>;

// Replaces the subvolume of every descriptor by the one the filesystem holds at
// "<snapshot_directory>/<number>/snapshot", as the path from the top level with a leading "/".
// A snapshot whose subvolume `read` cannot find, finds on another filesystem than
// `filesystem_uuid`, or finds at a path the kernel command line cannot carry (not UTF-8, white
// space, control characters, "," or a double quote) is left out: its entry would boot nothing.
// Throws "none of the <count> snapshots Snapper lists has a readable subvolume in
// <snapshot_directory>" when that leaves none of a list that was not empty, so that a run never
// takes every snapshot for deleted.
[[nodiscard]] std::vector<SnapshotDescriptor> locate_snapshot_subvolumes(
    std::vector<SnapshotDescriptor> descriptors, const std::filesystem::path& snapshot_directory,
    std::string_view filesystem_uuid, const SubvolumeReader& read);

}  // namespace snapwright::provider::snapper
