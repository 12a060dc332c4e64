#include "provider/snapper/snapper_row.hpp"

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "support/error_of.hpp"

namespace snapwright::provider::snapper {
namespace {

const ProviderScope kScope{"8ab8e78c-cdfa-4ae7-adf7-eeb6ce33b307", "snapper", "home"};

std::optional<SnapshotDescriptor> describe(std::vector<std::string> fields,
                                           std::string_view base = "/.snapshots") {
    return describe_snapper_row(CsvRecord{"the row", std::move(fields)}, kScope, base);
}

std::string error_of(std::vector<std::string> fields) {
    return testing::error_of([&] { (void)describe(std::move(fields)); });
}

TEST(SnapperRow, NumbersAreUnsignedDecimalsOtherThanZero) {
    const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
        {"12", 12},
        {" +012 ", 12},
        {"18446744073709551615", 18446744073709551615ull},
        {"18446744073709551616", std::nullopt},
        {"0", std::nullopt},
        {"+000", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"++1", std::nullopt},
        {"-", std::nullopt},
        {"-1", std::nullopt},
        {"1a", std::nullopt},
        {"1 2", std::nullopt},
        {"\xd9\xa1", std::nullopt},  // ARABIC-INDIC DIGIT ONE
    };
    for (const auto& [text, number] : cases) {
        EXPECT_EQ(parse_snapshot_number(text), number) << text;
    }
}

TEST(SnapperRow, DescribesTheSnapshotFromItsColumns) {
    const auto snapshot = describe({"+012", " 2024-03-01 10:00:00 ", " pre ", " before, \"x\" "});
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(*snapshot, (SnapshotDescriptor{{kScope.filesystem_uuid, "snapper", "home", "12"},
                                             "2024-03-01 10:00:00",
                                             " before, \"x\" ",
                                             "/.snapshots/12/snapshot",
                                             {{"type", " pre "}}}));

    const auto bare = describe({"7", "d"}, "");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->subvolume, "/7/snapshot");
    EXPECT_EQ(bare->description, "");
    EXPECT_EQ(bare->properties, (SnapshotProperties{{"type", ""}}));

    const auto extra = describe({"3", "d", "single", "text", "more", "fields"});
    ASSERT_TRUE(extra);
    EXPECT_EQ(extra->description, "text");
}

TEST(SnapperRow, UnusableNumbersAreSkippedBeforeTheDateIsLookedAt) {
    EXPECT_EQ(describe({"0", "", "single", "current"}), std::nullopt);
    EXPECT_EQ(describe({"-", ""}), std::nullopt);
}

TEST(SnapperRow, StructuralErrorsNameTheRow) {
    EXPECT_EQ(error_of({"5"}), "invalid Snapper CSV row: the row");
    EXPECT_EQ(error_of({"+05", " ", "single", "x"}), "Snapper snapshot 5 has no timestamp");
}

TEST(SnapperRow, SnapshotBaseDropsTrailingSlashes) {
    EXPECT_EQ(snapshot_base("/.snapshots"), "/.snapshots");
    EXPECT_EQ(snapshot_base("/@/.snapshots//"), "/@/.snapshots");
    EXPECT_EQ(snapshot_base("/"), "");
    EXPECT_EQ(testing::error_of([] { (void)snapshot_base("/snap\xff"); }),
              "SNAPSHOTS_PATH is not valid UTF-8");
}

}  // namespace
}  // namespace snapwright::provider::snapper
