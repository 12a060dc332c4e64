#include "report/snapshot_facts.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/manifest_builders.hpp"

namespace snapwright::report {
namespace {

namespace fs = std::filesystem;

TEST(VisibleSubvolumePath, BelowTheMountWithTheLongestSubvolumeRoot) {
    const std::string uuid = "0f5c6a1e-7d2b-4c3a-9e8f-112233445566";
    const system::MountTable table = {
        {"/", "/@", uuid, std::nullopt, "btrfs"},
        {"/.snapshots", "/@snapshots", uuid, std::nullopt, "btrfs"},
        {"/mnt/top", "/", "11111111-2222-3333-4444-555555555555", std::nullopt, "btrfs"},
        {"/boot", "/", uuid, std::nullopt, "ext4"},
    };
    const struct {
        const char* subvolume;
        std::optional<fs::path> visible;
    } cases[] = {
        {"/@/.snapshots/1/snapshot", "/.snapshots/1/snapshot"},
        {"@snapshots/2/snapshot", "/.snapshots/2/snapshot"},
        {"/@home", std::nullopt},
        {"/@snapshotsx/3", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            visible_subvolume_path(table, "0F5C6A1E-7D2B-4C3A-9E8F-112233445566", c.subvolume),
            c.visible)
            << c.subvolume;
    }
    manifest::SnapshotManifest recorded = testing::snapshot("1", "2024", {});
    recorded.snapshot.properties.set("readonly", "true");
    EXPECT_TRUE(boots_read_only(recorded, {}));
    recorded.snapshot.properties.set("readonly", "false");
    EXPECT_FALSE(boots_read_only(recorded, {}));
    recorded.snapshot.properties.erase("readonly");
    EXPECT_FALSE(boots_read_only(recorded, table));
}

}  // namespace
}  // namespace snapwright::report
