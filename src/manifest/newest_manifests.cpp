#include "manifest/newest_manifests.hpp"

#include <algorithm>
#include <compare>
#include <utility>

#include "provider/snapshot.hpp"

namespace snapwright::manifest {

bool newer_snapshot(const SnapshotManifest& a, const SnapshotManifest& b) {
    if (const auto order = a.snapshot.created_utc <=> b.snapshot.created_utc; order != 0) {
        return order > 0;
    }
    return provider::compare_snapshot_keys(a.snapshot.key, b.snapshot.key) > 0;
}

void NewestManifests::offer(SnapshotManifest manifest) {
    // newer_snapshot as the heap's "less" puts the oldest at the front.
    if (kept_.size() < limit_) {
        kept_.push_back(std::move(manifest));
        std::push_heap(kept_.begin(), kept_.end(), newer_snapshot);
    } else if (!kept_.empty() && newer_snapshot(manifest, kept_.front())) {
        std::pop_heap(kept_.begin(), kept_.end(), newer_snapshot);
        kept_.back() = std::move(manifest);
        std::push_heap(kept_.begin(), kept_.end(), newer_snapshot);
    }
}

std::vector<SnapshotManifest> NewestManifests::take() {
    std::vector<SnapshotManifest> kept = std::exchange(kept_, {});
    std::sort(kept.begin(), kept.end(), [](const SnapshotManifest& a, const SnapshotManifest& b) {
        return a.snapshot.key < b.snapshot.key;
    });
    return kept;
}

}  // namespace snapwright::manifest
