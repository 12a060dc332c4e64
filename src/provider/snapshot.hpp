#pragma once

#include <compare>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "provider/snapshot_properties.hpp"

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
    SnapshotProperties properties;

    bool operator==(const SnapshotDescriptor&) const = default;
};

// The three values every key of one provider carries.
struct ProviderScope {
    std::string filesystem_uuid;
    std::string provider;
    std::string instance;

    bool operator==(const ProviderScope&) const = default;
};

// The age order of two snapshot IDs created in the same second: as numbers when both are decimal
// digits only (Snapper numbers its snapshots, and a pre/post pair often shares its second, so
// "9" comes before "10"), otherwise as bytes. IDs of equal value but different text ("09", "9")
// are ordered as bytes, so that only equal IDs compare equal.
std::strong_ordering compare_snapshot_ids(std::string_view a, std::string_view b);

// Field by field as bytes, the snapshot IDs last by compare_snapshot_ids.
std::strong_ordering compare_snapshot_keys(const SnapshotKey& a, const SnapshotKey& b);

// Ascending by created_utc as bytes, then by snapshot_id (compare_snapshot_ids).
void sort_descriptors(std::vector<SnapshotDescriptor>& descriptors);

}  // namespace snapwright::provider
