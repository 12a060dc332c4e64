#include "provider/btrfs/metadata.hpp"

#include <gtest/gtest.h>

namespace snapwright::provider::btrfs {
namespace {

TEST(Metadata, SnapperElementText) {
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<snapshot>\n  <type>pre</type>\n  <num>12</num>\n"
        "  <date>2024-03-01 10:00:00</date>\n  <description> zypp &amp; more </description>\n"
        "</snapshot>\n";
    EXPECT_EQ(parse_snapper_info(xml),
              (SnapshotMetadata{"snapper", "pre", "zypp &amp; more", "2024-03-01 10:00:00"}));
    EXPECT_EQ(element_text("<type a=\"1\">x</type>", "type"), "");
    EXPECT_EQ(element_text("<type>x", "type"), "");
    EXPECT_EQ(element_text("</type><type>y</type>", "type"), "y");
    EXPECT_EQ(parse_snapper_info("not xml at all"), (SnapshotMetadata{"snapper", "", "", ""}));
}

TEST(Metadata, JsonMembers) {
    EXPECT_EQ(parse_timeshift_info(R"({"tags": ["O", "D", 3], "comments": "before upgrade",
                                       "date": "2024-03-01 10:00:00"})"),
              (SnapshotMetadata{"timeshift", "O,D", "before upgrade", "2024-03-01 10:00:00"}));
    EXPECT_EQ(parse_yabsnap_meta(R"({"trigger": "S", "comment": 7, "date": null})"),
              (SnapshotMetadata{"yabsnap", "S", "", ""}));
    EXPECT_EQ(parse_yabsnap_meta("[1, 2]"), (SnapshotMetadata{"yabsnap", "", "", ""}));
    EXPECT_EQ(parse_timeshift_info("{\"tags\": "), std::nullopt);
    EXPECT_EQ(parse_yabsnap_meta(""), std::nullopt);
}

}  // namespace
}  // namespace snapwright::provider::btrfs
