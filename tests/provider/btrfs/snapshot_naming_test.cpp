#include "provider/btrfs/snapshot_naming.hpp"

#include <gtest/gtest.h>

namespace snapwright::provider::btrfs {
namespace {

TEST(SnapshotNaming, NameFollowsTheToolsLayouts) {
    const std::pair<const char*, const char*> cases[] = {
        {"top/.snapshots/12/snapshot", "12"},
        {".snapshots/12/snapshot", "12"},
        {"snaps/12/snapshot", "snapshot"},
        {"timeshift-btrfs/snapshots/2024-03-01_10-00-00/@", "2024-03-01_10-00-00"},
        {"@", "@"},
        {".snapshots/@root-20240301100000", "@root-20240301100000"},
        {"a//b/", "b"},
        {"", "snapshot"},
    };
    for (const auto& [path, name] : cases) {
        EXPECT_EQ(snapshot_name(path), name) << path;
    }
}

TEST(SnapshotNaming, IdentityBecomesKeyOnlyWhenPlain) {
    EXPECT_EQ(snapshot_id("9B2E-aa.b_c", "261"), "9b2e-aa.b_c");
    EXPECT_EQ(snapshot_id("-", "261"), "rootid-261");
    EXPECT_EQ(snapshot_id("-._", "261"), "rootid-261");
    EXPECT_EQ(snapshot_id("a/b", "261"), "rootid-261");
    EXPECT_EQ(snapshot_id("caf\xc3\xa9", "7"), "rootid-7");
    EXPECT_EQ(snapshot_id("", "7"), "rootid-7");
}

}  // namespace
}  // namespace snapwright::provider::btrfs
