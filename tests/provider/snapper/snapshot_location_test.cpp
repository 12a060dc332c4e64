#include "provider/snapper/snapshot_location.hpp"

#include <map>

#include <gtest/gtest.h>

#include "support/error_of.hpp"

namespace snapwright::provider::snapper {
namespace {

namespace fs = std::filesystem;

TEST(SnapperConfigSubvolume, IsTheValueOfTheSubvolumeKey) {
    const auto records = [](std::string value) {
        return std::vector<CsvRecord>{{"ALLOW_USERS,", {"ALLOW_USERS", ""}},
                                      {"row", {"SUBVOLUME", std::move(value)}},
                                      {"FSTYPE,btrfs", {"FSTYPE", "btrfs"}}};
    };
    EXPECT_EQ(config_subvolume(records(" /home "), "home"), fs::path("/home"));
    const std::pair<std::vector<CsvRecord>, std::string> failures[] = {
        {{{"FSTYPE,btrfs", {"FSTYPE", "btrfs"}}}, "Snapper configuration home names no subvolume"},
        {records(""), "Snapper configuration home names no subvolume"},
        {records("home"),
         "Snapper configuration home names a subvolume that is not an absolute path: home"},
    };
    for (const auto& [input, message] : failures) {
        EXPECT_EQ(testing::error_of([&] { (void)config_subvolume(input, "home"); }), message);
    }
}

SnapshotDescriptor snapshot(const std::string& number) {
    SnapshotDescriptor descriptor;
    descriptor.key = {"fs", "snapper", "root", number};
    descriptor.created_utc = "2024-03-0" + number + " 10:00:00";
    descriptor.subvolume = "placeholder";
    return descriptor;
}

// Reads from a table of what the filesystem holds, keyed by the path asked for.
SubvolumeReader reader(std::map<std::string, system::SubvolumeLocation> filesystem) {
    return [filesystem = std::move(filesystem)](const fs::path& path) {
        const auto found = filesystem.find(path.string());
        return found == filesystem.end() ? std::nullopt
                                         : std::optional<system::SubvolumeLocation>(found->second);
    };
}

TEST(SnapperSnapshotLocation, KeepsOnlySnapshotsWhoseSubvolumeCanBeBooted) {
    const SubvolumeReader read = reader({
        {"/.snapshots/1/snapshot", {"fs", "@/.snapshots/1/snapshot"}},
        {"/.snapshots/3/snapshot", {"other-fs", "@/.snapshots/3/snapshot"}},
        {"/.snapshots/4/snapshot", {"fs", "my root/.snapshots/4/snapshot"}},
        {"/.snapshots/5/snapshot", {"fs", "a,b/.snapshots/5/snapshot"}},
        {"/.snapshots/6/snapshot", {"fs", "\xff/.snapshots/6/snapshot"}},
        {"/.snapshots/7/snapshot", {"fs", "top/.snapshots/7/snapshot"}},
    });
    std::vector<std::string> kept;
    for (const SnapshotDescriptor& descriptor :
         locate_snapshot_subvolumes({snapshot("1"), snapshot("2"), snapshot("3"), snapshot("4"),
                                     snapshot("5"), snapshot("6"), snapshot("7")},
                                    "/.snapshots", "fs", read)) {
        kept.push_back(descriptor.key.snapshot_id + " " + descriptor.subvolume);
    }
    EXPECT_EQ(kept, (std::vector<std::string>{"1 /@/.snapshots/1/snapshot",
                                              "7 /top/.snapshots/7/snapshot"}));

    // Nothing listed stays nothing; a listing of which nothing can be read fails rather than
    // passing for one in which every snapshot was deleted.
    EXPECT_TRUE(locate_snapshot_subvolumes({}, "/.snapshots", "fs", read).empty());
    EXPECT_EQ(testing::error_of([&] {
                  (void)locate_snapshot_subvolumes({snapshot("2"), snapshot("3")}, "/.snapshots",
                                                   "fs", read);
              }),
              "none of the 2 snapshots Snapper lists has a readable subvolume in /.snapshots");
}

}  // namespace
}  // namespace snapwright::provider::snapper
