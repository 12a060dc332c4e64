#pragma once

#include <vector>

#include "provider/snapshot.hpp"

namespace snapwright::provider {

// A source of truth about which snapshots of the root filesystem exist.
class Provider {
  public:
    virtual ~Provider() = default;
    virtual ProviderScope scope() const = 0;
    // Begins what list_snapshots will need without waiting for it, so that the work overlaps
    // what the caller does in between. Best effort: a provider that gains nothing by it, or that
    // cannot begin, leaves the work to list_snapshots, which reports any failure.
    virtual void start_listing() {}
    // The snapshots that exist now, sorted by sort_descriptors; throws the provider's error.
    virtual std::vector<SnapshotDescriptor> list_snapshots() = 0;
    // Whether the snapshot recorded as `recorded`, which list_snapshots did not report, still
    // exists. A provider whose listing is complete answers false: what it does not list is gone.
    // A snapshot whose facts cannot be read counts as gone.
    virtual bool unlisted_snapshot_exists(const SnapshotDescriptor& recorded) const = 0;
};

}  // namespace snapwright::provider
