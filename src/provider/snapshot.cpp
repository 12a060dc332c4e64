#include "provider/snapshot.hpp"

#include <algorithm>

namespace snapwright::provider {

void sort_descriptors(std::vector<SnapshotDescriptor>& descriptors) {
    std::stable_sort(descriptors.begin(), descriptors.end(),
                     [](const SnapshotDescriptor& a, const SnapshotDescriptor& b) {
                         if (a.created_utc != b.created_utc) {
                             return a.created_utc < b.created_utc;
                         }
                         return a.key.snapshot_id < b.key.snapshot_id;
                     });
}

}  // namespace snapwright::provider
