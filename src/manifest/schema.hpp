#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "provider/snapshot.hpp"
#include "store/object_id.hpp"

namespace snapwright::manifest {

// One bootable kernel set of a snapshot, as recorded at its first capture.
struct BootProfile {
    std::string name;
    std::string protocol;
    store::AssetRef kernel;
    // Initramfs images, microcode and device tree, in entry order.
    std::vector<store::AssetRef> modules;
    std::string cmdline;
    // Further entry fields carried over from the source entry, by field name.
    std::map<std::string, std::vector<std::string>> options;

    bool operator==(const BootProfile&) const = default;
};

inline constexpr std::uint32_t kSchemaVersion = 1;

// The archived record of one snapshot.
struct SnapshotManifest {
    std::uint32_t schema_version = kSchemaVersion;
    provider::SnapshotDescriptor snapshot;
    std::string os_name;
    std::string machine_id;
    std::string source_config;
    std::vector<BootProfile> profiles;

    bool operator==(const SnapshotManifest&) const = default;
};

}  // namespace snapwright::manifest
