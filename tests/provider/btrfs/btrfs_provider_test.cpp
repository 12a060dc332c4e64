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

// A top level made of plain directories, which no row is confirmed by, and a fake btrfs that
// prints a prepared listing. Snapshots that hold up are listed from real subvolumes in the
// end-to-end tests.
class BtrfsProviderTest : public ::testing::Test {
  protected:
    BtrfsProviderTest() : path_(tools_.path()) {
        snapwright::testing::write_script(tools_.path(), "btrfs",
                                          "if [ \"$2\" = list ]; then\n"
                                          "  [ -f '" +
                                              (tools_ / "fail").string() +
                                              "' ] && { echo ' list broke ' >&2; exit 1; }\n"
                                              "  cat '" +
                                              (tools_ / "list").string() +
                                              "'; exit 0\n"
                                              "fi\n"
                                              "exit 1\n");
    }

    fs::path top() const { return top_.path(); }
    void listing(const std::string& text) { tools_.write("list", text); }
    BtrfsProvider provider(std::uint64_t limit = kNoLimit) {
        BtrfsProvider p("8AB8E78C-CDFA-4AE7-ADF7-EEB6CE33B307", top(), limit);
        p.set_root_subvolume_uuid(kRoot);
        return p;
    }

    ScratchDir top_;
    ScratchDir tools_;
    snapwright::testing::FakeToolPath path_;
};

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
    fs::create_directories(top() / "@/noboot");
    fs::create_directories(top() / "@/b/boot");  // a plain directory, no subvolume
    EXPECT_EQ(error_of(), "invalid btrfs subvolume row: " +
                              row("262", "bbbb-2", kRoot, "t", "@/b")
                                  .substr(0, row("262", "bbbb-2", kRoot, "t", "@/b").size() - 1));

    // Rows passed over for the ordinary reasons alone: simply no snapshots.
    listing(row("263", "cccc-3", kRoot, "t", "@/noboot") +
            row("261", "aaaa-1", "0000-other", "t", "@/a"));
    EXPECT_TRUE(provider().list_snapshots().empty());
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
