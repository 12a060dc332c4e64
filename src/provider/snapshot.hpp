#pragma once

#include <compare>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace snapwright::provider {

// Identity of a snapshot across runs; the archive directory of a snapshot is derived from it.
struct SnapshotKey {
    std::string filesystem_uuid;
    std::string provider;
    std::string instance;
    std::string snapshot_id;

    // Field by field, each compared as bytes.
    auto operator<=>(const SnapshotKey&) const = default;
    bool operator==(const SnapshotKey&) const = default;
};

// A snapshot as a provider reports it.
struct SnapshotDescriptor {
    SnapshotKey key;
    std::string created_utc;
    std::string description;
    // The subvolume path in the form given to the kernel in "rootflags=subvol=".
    std::string subvolume;
    std::map<std::string, std::string> properties;

    bool operator==(const SnapshotDescriptor&) const = default;
};

// The three values every key of one provider carries.
struct ProviderScope {
    std::string filesystem_uuid;
    std::string provider;
    std::string instance;

    bool operator==(const ProviderScope&) const = default;
};

// Ascending by created_utc as bytes, then by snapshot_id as bytes ("10" before "9").
void sort_descriptors(std::vector<SnapshotDescriptor>& descriptors);

}  // namespace snapwright::provider
