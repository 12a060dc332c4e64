#pragma once

#include <cstdint>
#include <vector>

#include "manifest/schema.hpp"

namespace snapwright::manifest {

// The age order that deployment follows: `a` is newer than `b` when its snapshot was created
// later (created_utc compared as bytes) or, in the same second, when its key comes later by
// provider::compare_snapshot_keys. Only equal keys tie, so the newest N of any set are one set.
[[nodiscard]] bool newer_snapshot(const SnapshotManifest& a, const SnapshotManifest& b);

// Keeps, of the manifests offered one at a time, the `limit` newest by newer_snapshot, dropping
// one that is older than every kept one at once: memory grows with the limit, not with how many
// are offered. A deployment of the newest `limit` snapshots planned over what it keeps is the
// deployment planned over every offered manifest.
class NewestManifests {
  public:
    explicit NewestManifests(std::uint64_t limit) : limit_(limit) {}

    void offer(SnapshotManifest manifest);

    // The kept manifests sorted by key, the order of list_manifests; empties the keeper.
    [[nodiscard]] std::vector<SnapshotManifest> take();

  private:
    std::uint64_t limit_;
    // A heap whose front is the oldest kept manifest, the first to go.
    std::vector<SnapshotManifest> kept_;
};

}  // namespace snapwright::manifest
