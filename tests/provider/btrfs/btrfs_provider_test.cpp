#include "provider/btrfs/btrfs_provider.hpp"

#include <gtest/gtest.h>

#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::provider::btrfs {
namespace {

using testing::ScratchDir;

const std::string kRoot = "ab4311b3-a8c9-5e47-9662-37ab55c6769f";

std::string row(const std::string& id, const std::string& uuid, const std::string& parent,
                const std::string& otime, const std::string& path) {
    return "ID " + id + " gen 9 cgen 9 top level 5 otime " + otime + " parent_uuid " + parent +
           " received_uuid - uuid " + uuid + " path " + path + "\n";
}

std::string show(const std::string& uuid, const std::string& parent, const std::string& created,
                 const std::string& flags = "readonly") {
    return "x\n\tName: \t\tx\n\tUUID: \t\t" + uuid + "\n\tParent UUID: \t\t" + parent +
           "\n\tCreation time: \t\t" + created + "\n\tFlags: \t\t\t" + flags + "\n\tSnapshot(s):\n";
}

// A top level made of plain directories and a fake btrfs that prints a prepared listing and,
// for each path, a prepared `show` (failing for paths without one).
class BtrfsProviderTest : public ::testing::Test {
  protected:
    BtrfsProviderTest() : path_(tools_.path()) {
        snapwright::testing::write_script(
            tools_.path(), "btrfs",
            "if [ \"$2\" = list ]; then\n"
            "  [ -f '" +
                (tools_ / "fail").string() +
                "' ] && { echo ' list broke ' >&2; exit 1; }\n"
                "  cat '" +
                (tools_ / "list").string() +
                "'; exit 0\n"
                "fi\n"
                "f='" +
                tools_.path().string() + "/show-'$(printf %s \"${3#" + top().string() +
                "/}\" | tr / _)\n"
                "[ -f \"$f\" ] || { echo 'ERROR: not a subvolume' >&2; exit 1; }\n"
                "cat \"$f\"\n");
    }

    fs::path top() const { return top_.path(); }
    void listing(const std::string& text) { tools_.write("list", text); }
    void snapshot(const std::string& path, const std::string& show_text, bool boot = true) {
        fs::create_directories(top() / path);
        if (boot) {
            fs::create_directories(top() / path / "boot");
        }
        std::string name = path;
        std::replace(name.begin(), name.end(), '/', '_');
        tools_.write("show-" + name, show_text);
    }
    BtrfsProvider provider(std::uint64_t limit = kNoLimit) {
        BtrfsProvider p("8AB8E78C-CDFA-4AE7-ADF7-EEB6CE33B307", top(), limit);
        p.set_root_subvolume_uuid(kRoot);
        return p;
    }

    ScratchDir top_;
    ScratchDir tools_;
    snapwright::testing::FakeToolPath path_;
};

TEST_F(BtrfsProviderTest, DescribesConfirmedSnapshotsSorted) {
    listing(row("262", "BBBB-2", kRoot, "2024-03-02 10:00:00", "@/.snapshots/2/snapshot") +
            row("261", "aaaa-1", kRoot, "2024-03-01 10:00:00", "@/.snapshots/1/snapshot"));
    snapshot("@/.snapshots/2/snapshot", show("bbbb-2", kRoot, "2024-01-01 00:00:00 +0000", "-"));
    snapshot("@/.snapshots/1/snapshot", show("aaaa-1", kRoot, "2024-02-01 00:00:00 +0000"));
    testing::write_file(top() / "@/.snapshots/1/info.xml",
                        "<type>single</type><description>first</description><date>d</date>");

    BtrfsProvider p = provider();
    EXPECT_EQ(p.scope(), (ProviderScope{"8ab8e78c-cdfa-4ae7-adf7-eeb6ce33b307", "btrfs", "root"}));
    EXPECT_EQ(p.source_root(), top());
    const auto list = p.list_snapshots();
    ASSERT_EQ(list.size(), 2u);
    // The creation time from `show` wins over otime and the metadata date, and orders the list.
    EXPECT_EQ(list[0], (SnapshotDescriptor{
                           {"8ab8e78c-cdfa-4ae7-adf7-eeb6ce33b307", "btrfs", "root", "bbbb-2"},
                           "2024-01-01 00:00:00 +0000",
                           "",
                           "/@/.snapshots/2/snapshot",
                           {{"path", "@/.snapshots/2/snapshot"},
                            {"readonly", "false"},
                            {"rootid", "262"},
                            {"snapshot", "2"},
                            {"source", "manual"},
                            {"type", ""},
                            {"uuid", "BBBB-2"}}}));
    EXPECT_EQ(list[1].description, "first");
    EXPECT_EQ(list[1].properties.at("source"), "snapper");
    EXPECT_EQ(list[1].properties.at("type"), "single");
    EXPECT_EQ(list[1].properties.at("readonly"), "true");
}

TEST_F(BtrfsProviderTest, PassesOverRowsThatShowDoesNotConfirm) {
    listing(row("270", "cccc-3", kRoot, "t", "@/.snapshots/3/x") +
            "ID 999 gen 1 top level 5 otime t parent_uuid " + kRoot +
            " uuid ffff-9 path @/.snapshots/1/snapshot\n" +
            row("263", "dddd-4", kRoot, "t", "@/plain") +
            row("264", "eeee-5", kRoot, "t", "@/noboot") + "stray text\n\n" +
            row("261", "aaaa-1", kRoot, "t", "@/.snapshots/1/snapshot"));
    snapshot("@/.snapshots/1/snapshot", show("aaaa-1", kRoot, "c"));
    fs::create_directories(top() / "@/.snapshots/3/x/boot");  // show fails for it
    snapshot("@/plain", show("dddd-4", "0000-other", "c"));   // parent differs in show
    snapshot("@/noboot", show("eeee-5", kRoot, "c"), false);
    const auto list = provider().list_snapshots();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].key.snapshot_id, "aaaa-1");
}

// Were these read as "no snapshots", every generated entry would be removed.
TEST_F(BtrfsProviderTest, ListingOfWhichNoRowHoldsUpIsAnError) {
    const auto error_of = [&] {
        return testing::error_of([&] { (void)provider().list_snapshots(); });
    };
    listing("\n261\t" + kRoot + "\taaaa-1\t@/.snapshots/1/snapshot\n262\tbbbb-2\n");
    EXPECT_EQ(error_of(),
              "invalid btrfs subvolume row: 261\t" + kRoot + "\taaaa-1\t@/.snapshots/1/snapshot");

    listing(row("263", "cccc-3", kRoot, "t", "@/noboot") + row("262", "bbbb-2", kRoot, "t", "@/b") +
            row("261", "aaaa-1", "0000-other", "t", "@/a"));
    snapshot("@/noboot", show("cccc-3", kRoot, ""), false);
    fs::create_directories(top() / "@/b/boot");  // show fails for it
    EXPECT_EQ(error_of(), "invalid btrfs subvolume row: " +
                              row("262", "bbbb-2", kRoot, "t", "@/b")
                                  .substr(0, row("262", "bbbb-2", kRoot, "t", "@/b").size() - 1));

    // Rows passed over for the ordinary reasons alone: simply no snapshots.
    listing(row("263", "cccc-3", kRoot, "t", "@/noboot") +
            row("261", "aaaa-1", "0000-other", "t", "@/a"));
    EXPECT_TRUE(provider().list_snapshots().empty());
}

TEST_F(BtrfsProviderTest, LimitCountsOnlyListedSnapshots) {
    listing(row("263", "cccc-3", kRoot, "3", "@/noboot") + row("262", "bbbb-2", kRoot, "2", "@/b") +
            row("261", "aaaa-1", kRoot, "1", "@/a"));
    snapshot("@/noboot", show("cccc-3", kRoot, ""), false);
    snapshot("@/b", show("bbbb-2", kRoot, ""));
    snapshot("@/a", show("aaaa-1", kRoot, ""));
    const auto one = provider(1).list_snapshots();
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].key.snapshot_id, "bbbb-2");
    EXPECT_EQ(one[0].created_utc, "2");
    EXPECT_TRUE(provider(0).list_snapshots().empty());
}

TEST_F(BtrfsProviderTest, ListingFailuresAreReported) {
    tools_.write("fail", "");
    EXPECT_EQ(testing::error_of([&] { (void)provider().list_snapshots(); }),
              "btrfs subvolume list failed: list broke");
    snapwright::testing::ScopedEnv empty_path("PATH", top().string());
    EXPECT_EQ(testing::error_of([&] { (void)provider().list_snapshots(); }),
              "execute btrfs: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace snapwright::provider::btrfs
