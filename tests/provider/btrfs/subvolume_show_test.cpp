#include "provider/btrfs/subvolume_show.hpp"

#include <gtest/gtest.h>

#include "base/text_file.hpp"

namespace snapwright::provider::btrfs {
namespace {

std::string recorded(const char* name) {
    return base::read_text_file(std::string(SNAPWRIGHT_TEST_DATA) + "/btrfs/" + name);
}

TEST(SubvolumeShow, ReadsRecordedSnapshot) {
    EXPECT_EQ(
        parse_subvolume_show(recorded("show-snapshot.txt")),
        (SubvolumeShow{"64ee69b1-cf63-1748-a524-4679f17d4f48",
                       "ab4311b3-a8c9-5e47-9662-37ab55c6769f", "2026-12-09 00:12:04 +0000", true}));
    const SubvolumeShow root =
        parse_subvolume_show(recorded("show-root-with-injected-snapshot.txt"));
    EXPECT_EQ(root.parent_uuid, "-");
    EXPECT_FALSE(root.readonly);
}

TEST(SubvolumeShow, IgnoresWhatSnapshotNamesPrintBelowTheSnapshotList) {
    const std::string text =
        "\tUUID: \t\tAAA\n\tParent UUID: \t\tBBB\n\tCreation time: \t\t2024-01-01\n"
        "\tFlags: \t\t-\n\tSnapshot(s):\n\t\t\tx\n\tUUID: evil\n\tCreation time: 1999\n"
        "\tFlags: readonly\n";
    EXPECT_EQ(parse_subvolume_show(text), (SubvolumeShow{"aaa", "bbb", "2024-01-01", false}));
}

TEST(SubvolumeShow, LaterCreationTimeAndFlagsLinesReplaceEarlierOnes) {
    const std::string text =
        "Creation time: one\nCreation time:\nCreation time: two\nFlags: readonly\n"
        "Subvolume flags: noatime, x\nUUID:\nUUID: -\n";
    const SubvolumeShow show = parse_subvolume_show(text);
    EXPECT_EQ(show.creation_time, "two");
    EXPECT_FALSE(show.readonly);
    EXPECT_EQ(show.uuid, "-");
    EXPECT_TRUE(parse_subvolume_show("Flags: -,readonly\n").readonly);
    EXPECT_EQ(parse_subvolume_show("Creation time:\n").creation_time, std::nullopt);
}

TEST(SubvolumeShow, ConfirmsOnlyTheRowItDescribes) {
    const SubvolumeShow show{"aaa", "bbb", std::nullopt, true};
    SubvolumeRow row;
    row.uuid = "AAA";
    row.parent_uuid = "bbb";
    EXPECT_TRUE(show_confirms_row(show, row));
    row.uuid = "aab";
    EXPECT_FALSE(show_confirms_row(show, row));
    row.uuid = "aaa";
    row.parent_uuid = std::nullopt;
    EXPECT_FALSE(show_confirms_row(show, row));
    row.parent_uuid = "bbb";
    EXPECT_FALSE(show_confirms_row(SubvolumeShow{std::nullopt, "bbb", std::nullopt, false}, row));
}

}  // namespace
}  // namespace snapwright::provider::btrfs
