#include "provider/snapper/snapper_provider.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/app_error.hpp"
#include "support/scratch_dir.hpp"
#include "system/system_fixtures.hpp"

namespace snapwright::provider::snapper {
namespace {

using testing::ScratchDir;

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fake snapper that records its arguments, one a line, and prints a prepared listing, or
// fails with a prepared message.
class SnapperProviderTest : public ::testing::Test {
  protected:
    SnapperProviderTest() : path_(tools_.path()) {
        const std::string dir = tools_.path().string();
        snapwright::testing::write_script(tools_.path(), "snapper",
                                          "printf '%s\\n' \"$@\" > '" + dir +
                                              "/arguments'\n"
                                              "[ -f '" +
                                              dir + "/error' ] && { cat '" + dir +
                                              "/error' >&2; exit 1; }\n"
                                              "cat '" +
                                              dir + "/listing'\n");
    }

    SnapperProvider provider() const {
        return SnapperProvider("8AB8E78C-CDFA-4AE7-ADF7-EEB6CE33B307", "home", "/@/.snapshots/");
    }

    ScratchDir tools_;
    snapwright::testing::FakeToolPath path_;
};

TEST_F(SnapperProviderTest, ListsSnapshotsSortedByDateThenNumber) {
    tools_.write("listing",
                 "0,,single,current\n"
                 "10,2024-03-02 09:00:00,post,\"after\nupgrade\"\n"
                 "9,2024-03-02 09:00:00,pre,before\n"
                 "3,2024-03-01 10:00:00,single,\n");
    SnapperProvider p = provider();
    const std::string uuid = "8ab8e78c-cdfa-4ae7-adf7-eeb6ce33b307";
    EXPECT_EQ(p.scope(), (ProviderScope{uuid, "snapper", "home"}));
    EXPECT_EQ(p.source_root(), std::nullopt);
    p.set_source_root("/");
    EXPECT_EQ(p.source_root(), fs::path("/"));

    const auto list = p.list_snapshots();
    EXPECT_EQ(read_text(tools_ / "arguments"),
              "--no-dbus\n--config\nhome\n--no-headers\n--utc\n--machine-readable\ncsv\nlist\n"
              "--columns\nnumber,date,type,description\n");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].key, (SnapshotKey{uuid, "snapper", "home", "3"}));
    EXPECT_EQ(list[1].key.snapshot_id, "10");
    EXPECT_EQ(list[1].description, "after\nupgrade");
    EXPECT_EQ(list[1].subvolume, "/@/.snapshots/10/snapshot");
    EXPECT_EQ(list[2].key.snapshot_id, "9");
}

TEST_F(SnapperProviderTest, FailuresReturnNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"1,d,s,x\n2\n", "invalid Snapper CSV row: 2"},
        {"1,d,s,x\n2,,s,y\n", "Snapper snapshot 2 has no timestamp"},
        {"1,d,s,\"x\n", "unterminated quoted Snapper CSV field"},
    };
    for (const auto& [listing, message] : cases) {
        tools_.write("listing", listing);
        try {
            (void)provider().list_snapshots();
            ADD_FAILURE() << "no error for " << listing;
        } catch (const base::AppError& error) {
            EXPECT_EQ(error.display(), message);
        }
    }
    tools_.write("error", "  Unknown config.\n");
    try {
        (void)provider().list_snapshots();
        FAIL() << "no error";
    } catch (const base::AppError& error) {
        EXPECT_EQ(error.display(), "snapper list failed: Unknown config.");
    }
}

}  // namespace
}  // namespace snapwright::provider::snapper
