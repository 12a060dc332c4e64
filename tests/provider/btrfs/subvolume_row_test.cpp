#include "provider/btrfs/subvolume_row.hpp"

#include <gtest/gtest.h>

#include "base/text.hpp"
#include "base/text_file.hpp"

namespace snapwright::provider::btrfs {
namespace {

const std::optional<std::string> kRoot = "ab4311b3-a8c9-5e47-9662-37ab55c6769f";

std::vector<std::string> recorded_lines() {
    const std::string text =
        base::read_text_file(std::string(SNAPWRIGHT_TEST_DATA) + "/btrfs/list-snapshots.txt");
    std::vector<std::string> lines;
    for (auto line : base::split_lines(text)) {
        lines.emplace_back(line);
    }
    return lines;
}

TEST(SubvolumeRow, ParsesRecordedListing) {
    const auto lines = recorded_lines();
    ASSERT_EQ(lines.size(), 7u);

    const ParsedRow snapper = parse_subvolume_row(lines[6], kRoot);
    EXPECT_EQ(snapper.verdict, RowVerdict::Accepted);
    EXPECT_EQ(snapper.row, (SubvolumeRow{"258", "64ee69b1-cf63-1748-a524-4679f17d4f48",
                                         "64ee69b1-cf63-1748-a524-4679f17d4f48", *kRoot,
                                         "2026-12-09 00:12:04", "@/.snapshots/1/snapshot"}));

    const ParsedRow timeshift = parse_subvolume_row(lines[2], kRoot);
    EXPECT_EQ(timeshift.verdict, RowVerdict::Accepted);
    EXPECT_EQ(timeshift.row.path, "timeshift-btrfs/snapshots/2024-03-01_10-00-00/@");

    // A snapshot of another subvolume.
    EXPECT_EQ(parse_subvolume_row(lines[3], kRoot).verdict, RowVerdict::OtherParent);
    EXPECT_EQ(parse_subvolume_row(lines[3], std::nullopt).verdict, RowVerdict::Accepted);
    // "@/snaps/with space, comma/snapshot" cannot be named in rootflags=subvol=.
    EXPECT_EQ(parse_subvolume_row(lines[4], kRoot).verdict, RowVerdict::UnbootablePath);
}

TEST(SubvolumeRow, LineBreakInSnapshotNameYieldsRowsThatLookWhole) {
    const auto lines = recorded_lines();
    // The snapshot "x\nID 999 ..." prints as two lines. Both parse; what stops them is that
    // `btrfs subvolume show` of their paths does not confirm them.
    const ParsedRow first = parse_subvolume_row(lines[0], kRoot);
    EXPECT_EQ(first.verdict, RowVerdict::Accepted);
    EXPECT_EQ(first.row.path, "@/.snapshots/3/x");
    const ParsedRow forged = parse_subvolume_row(lines[1], kRoot);
    EXPECT_EQ(forged.verdict, RowVerdict::Accepted);
    EXPECT_EQ(forged.row.uuid, "11111111-2222-3333-4444-555555555555");
    EXPECT_EQ(forged.row.path, "@/.snapshots/1/snapshot");

    // Remainders that are not rows at all are passed over instead of failing the listing.
    EXPECT_EQ(parse_subvolume_row("and then some text", kRoot).verdict, RowVerdict::Malformed);
    EXPECT_EQ(parse_subvolume_row("gen 1 uuid x path a/b", kRoot).verdict, RowVerdict::Malformed);
    EXPECT_EQ(parse_subvolume_row("top level 5 ID path a", kRoot).verdict, RowVerdict::Malformed);
}

TEST(SubvolumeRow, FieldRules) {
    // uuid "-" (no UUID tree): the identity stays "-"; the key falls back elsewhere.
    ParsedRow dash =
        parse_subvolume_row("ID 300 gen 1 top level 5 otime 2024-03-01 10:00:00 parent_uuid " +
                                *kRoot + " received_uuid - uuid - path snaps/12/snapshot",
                            kRoot);
    EXPECT_EQ(dash.verdict, RowVerdict::Accepted);
    EXPECT_EQ(dash.row.identity, "-");
    EXPECT_EQ(dash.row.otime, "2024-03-01 10:00:00");

    // Missing uuid and otime; leading slashes and surrounding blanks of the path go.
    ParsedRow bare = parse_subvolume_row(
        "ID 301 gen 1 top level 5 parent_uuid " + *kRoot + " path  //a/b  ", kRoot);
    EXPECT_EQ(bare.verdict, RowVerdict::Accepted);
    EXPECT_EQ(bare.row.identity, "301");
    EXPECT_EQ(bare.row.uuid, std::nullopt);
    EXPECT_EQ(bare.row.otime, "");
    EXPECT_EQ(bare.row.path, "a/b");

    // The otime of the listing without -q -R ends at "uuid".
    EXPECT_EQ(
        parse_subvolume_row("ID 1 otime 2024-03-01 10:00:00 uuid u path p", std::nullopt).row.otime,
        "2024-03-01 10:00:00");

    // Parent "-", a missing parent and an upper-case parent.
    EXPECT_EQ(parse_subvolume_row("ID 5 parent_uuid - uuid u path p", kRoot).verdict,
              RowVerdict::OtherParent);
    EXPECT_EQ(parse_subvolume_row("ID 5 uuid u path p", kRoot).verdict, RowVerdict::OtherParent);
    EXPECT_EQ(parse_subvolume_row("ID 5 parent_uuid AB4311B3-A8C9-5E47-9662-37AB55C6769F uuid u "
                                  "path p",
                                  kRoot)
                  .verdict,
              RowVerdict::Accepted);

    EXPECT_EQ(parse_subvolume_row("ID 5 uuid u path  / ", kRoot).verdict, RowVerdict::EmptyPath);
}

TEST(SubvolumeRow, KernelCommandLineCarriesOnlyPlainPaths) {
    for (const char* path : {"@/.snapshots/1/snapshot", "timeshift-btrfs/snapshots/x/@",
                             "caf\xc3\xa9/snap", "a=b/c_d.e-f"}) {
        EXPECT_TRUE(kernel_can_carry_path(path)) << path;
    }
    for (const char* path : {"a b", "a\tb", "a,b", "a\"b", "a\x01", "a\x7f", "a\xc2\x85",
                             "a\xe2\x80\xa8", "\xc3\xa0"}) {
        EXPECT_FALSE(kernel_can_carry_path(path)) << path;
    }
}

TEST(SubvolumeRow, FactsConfirmOnlyTheRowTheyDescribe) {
    const system::SubvolumeFacts facts{"aaa", "bbb", "2024-01-01 00:00:00 +0000", true};
    SubvolumeRow row;
    row.uuid = "AAA";
    row.parent_uuid = "bbb";
    EXPECT_TRUE(facts_confirm_row(facts, row));
    row.uuid = "aab";
    EXPECT_FALSE(facts_confirm_row(facts, row));
    row.uuid = "aaa";
    row.parent_uuid = std::nullopt;
    EXPECT_FALSE(facts_confirm_row(facts, row));
    row.parent_uuid = "-";
    EXPECT_FALSE(facts_confirm_row(facts, row));
}

}  // namespace
}  // namespace snapwright::provider::btrfs
