#include "manifest/newest_manifests.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/manifest_builders.hpp"

namespace snapwright::manifest {
namespace {

std::vector<std::string> kept_ids(std::uint64_t limit,
                                  const std::vector<SnapshotManifest>& offers) {
    NewestManifests newest(limit);
    for (const SnapshotManifest& manifest : offers) {
        newest.offer(manifest);
    }
    std::vector<std::string> ids;
    for (const SnapshotManifest& manifest : newest.take()) {
        ids.push_back(manifest.snapshot.key.snapshot_id);
    }
    return ids;
}

// Same-second snapshots are ordered by number, not by bytes ("10" is newer than "9"); whatever
// order they are offered in, the same newest ones are kept, listed by key as bytes.
TEST(NewestManifests, KeepsTheNewestWhateverTheOfferOrder) {
    std::vector<SnapshotManifest> offers = {
        testing::snapshot("1", "2024-01-01", {}), testing::snapshot("9", "2024-02-01", {}),
        testing::snapshot("10", "2024-02-01", {}), testing::snapshot("2", "2024-01-15", {}),
        testing::snapshot("3", "2023-12-31", {})};
    struct Case {
        std::uint64_t limit;
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        {0, {}},
        {1, {"10"}},
        {3, {"10", "2", "9"}},
        {std::numeric_limits<std::uint64_t>::max(), {"1", "10", "2", "3", "9"}},
    };
    const auto by_id = [](const SnapshotManifest& a, const SnapshotManifest& b) {
        return a.snapshot.key.snapshot_id < b.snapshot.key.snapshot_id;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        std::sort(offers.begin(), offers.end(), by_id);
        do {
            ASSERT_EQ(kept_ids(c.limit, offers), c.kept);
        } while (std::next_permutation(offers.begin(), offers.end(), by_id));
    }
}

}  // namespace
}  // namespace snapwright::manifest
