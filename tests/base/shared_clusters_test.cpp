#include "base/shared_clusters.hpp"

#include <gtest/gtest.h>

namespace snapwright::base {
namespace {

TEST(SharedClusters, EqualFirstBlocksAreSharedAndAFileWithoutBlocksSharesNothing) {
    const std::optional<std::uint64_t> unreadable;
    const struct {
        std::optional<std::uint64_t> temporary, target;
        ClusterSharing expected;
    } cases[] = {
        {4711, 4711, ClusterSharing::Shared},
        {4711, 4712, ClusterSharing::Separate},
        {0, 0, ClusterSharing::Separate},
        {0, unreadable, ClusterSharing::Separate},
        {unreadable, 0, ClusterSharing::Separate},
        {unreadable, 4711, ClusterSharing::Unknown},
        {4711, unreadable, ClusterSharing::Unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compare_first_blocks(c.temporary, c.target), c.expected)
            << c.temporary.value_or(99) << " " << c.target.value_or(99);
    }
}

}  // namespace
}  // namespace snapwright::base
