#include "provider/snapshot.hpp"

#include <gtest/gtest.h>

namespace snapwright::provider {
namespace {

TEST(SnapshotOrder, NumberedIdsCompareAsNumbersOthersAsBytes) {
    struct Case {
        const char* a;
        const char* b;
        std::strong_ordering order;
    };
    const Case cases[] = {
        {"9", "10", std::strong_ordering::less},
        {"10", "10", std::strong_ordering::equal},
        {"010", "9", std::strong_ordering::greater},
        {"18446744073709551616", "18446744073709551615", std::strong_ordering::greater},
        // Equal values keep a strict order by their text.
        {"09", "9", std::strong_ordering::less},
        {"0", "00", std::strong_ordering::less},
        // Not both numbers: bytes.
        {"rootid-9", "rootid-10", std::strong_ordering::greater},
        {"9", "1a", std::strong_ordering::greater},
        {"", "1", std::strong_ordering::less},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compare_snapshot_ids(c.a, c.b), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(compare_snapshot_ids(c.b, c.a), 0 <=> c.order) << c.b << " vs " << c.a;
    }
    // The other key fields come first, as bytes.
    EXPECT_TRUE(
        compare_snapshot_keys({"u", "snapper", "home", "10"}, {"u", "snapper", "root", "9"}) < 0);
}

}  // namespace
}  // namespace snapwright::provider
