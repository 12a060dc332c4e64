#include "system/subvolume_facts.hpp"

#include <gtest/gtest.h>

#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::system {
namespace {

// The end-to-end tests compare whole facts with `btrfs subvolume show` on real subvolumes; here
// only what needs no Btrfs: the time text in zones east and west of UTC, and the refusals.
TEST(SubvolumeFacts, TimeTextIsLocalWithItsZone) {
    struct Case {
        const char* zone;
        long long seconds;
        const char* text;
    };
    for (const Case& c : {
             Case{"UTC0", 1700000000, "2023-11-14 22:13:20 +0000"},
             Case{"IST-5:30", 1700000000, "2023-11-15 03:43:20 +0530"},
             Case{"EST5EDT,M3.2.0,M11.1.0", 1690000000, "2023-07-22 00:26:40 -0400"},
             Case{"UTC0", 0, "-"},
         }) {
        const testing::ScopedEnv zone("TZ", c.zone);
        EXPECT_EQ(subvolume_time_text(c.seconds), c.text) << c.zone;
    }
}

TEST(SubvolumeFacts, NothingForWhatIsNotASubvolume) {
    const testing::ScratchDir dir;
    EXPECT_EQ(read_subvolume_facts(dir.path()), std::nullopt);
    EXPECT_EQ(read_subvolume_facts(dir.path() / "missing"), std::nullopt);
}

}  // namespace
}  // namespace snapwright::system
