#include "provider/snapper/snapper_provider.hpp"

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::provider::snapper {
namespace {

TEST(SnapperProvider, AsksSnapperForItsConfigurationAndReportsItsFailure) {
    // The fake snapper fails with its arguments as the message, which shows the invocation.
    snapwright::testing::ScratchDir tools;
    snapwright::testing::write_script(tools.path(), "snapper", "echo \" $* \" >&2\nexit 1");
    snapwright::testing::FakeToolPath path(tools.path());

    SnapperProvider provider("8AB8E78C-CDFA-4AE7-ADF7-EEB6CE33B307", "home", "/.snapshots");
    EXPECT_EQ(provider.scope(),
              (ProviderScope{"8ab8e78c-cdfa-4ae7-adf7-eeb6ce33b307", "snapper", "home"}));
    EXPECT_EQ(snapwright::testing::error_of([&] { (void)provider.list_snapshots(); }),
              "snapper list failed: --no-dbus --config home --no-headers --utc "
              "--machine-readable csv list --columns number,date,type,description");
}

TEST(SnapperProvider, ListsEveryNumberedSnapshotInOrder) {
    snapwright::testing::ScratchDir tools;
    snapwright::testing::write_script(
        tools.path(), "snapper",
        "printf '0,,single,current\\n9,2024-03-02 10:00:00,pre,a\\n"
        "10,2024-03-02 10:00:00,post,b\\n3,2024-03-01 10:00:00,,\\n'");
    snapwright::testing::FakeToolPath path(tools.path());
    std::vector<std::string> order;
    for (const auto& snapshot : SnapperProvider("u", "root", "/").list_snapshots()) {
        order.push_back(snapshot.key.snapshot_id + " " + snapshot.subvolume);
    }
    // Equal dates fall back to the number: a pre snapshot before its post snapshot.
    EXPECT_EQ(order,
              (std::vector<std::string>{"3 /3/snapshot", "9 /9/snapshot", "10 /10/snapshot"}));
}

TEST(SnapperProvider, WithoutSnapshotsPathAsksForTheConfigurationOnlyWhenThereAreSnapshots) {
    // The fake snapper lists what it is given and fails anything else with its arguments.
    snapwright::testing::ScratchDir tools;
    const auto provider_listing = [&](const std::string& listing) {
        snapwright::testing::write_script(tools.path(), "snapper",
                                          "case \"$*\" in\n*' list '*) printf '" + listing +
                                              "' ;;\n*) echo \" $* \" >&2; exit 1 ;;\nesac");
        return SnapperProvider("u", "root", std::nullopt);
    };
    snapwright::testing::FakeToolPath path(tools.path());
    EXPECT_TRUE(provider_listing("0,,single,current\\n").list_snapshots().empty());
    EXPECT_EQ(snapwright::testing::error_of([&] {
                  (void)provider_listing("1,2024-03-01 10:00:00,single,a\\n").list_snapshots();
              }),
              "snapper get-config failed: --no-dbus --config root --no-headers --machine-readable "
              "csv get-config --columns key,value");
}

}  // namespace
}  // namespace snapwright::provider::snapper
