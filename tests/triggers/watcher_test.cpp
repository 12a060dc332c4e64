#include "triggers/watcher.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "support/error_of.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::triggers {
namespace {

using testing::error_of;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Reads batches until one asks for a run: true; false when the stream stays quiet for `quiet`
// or none asks within a generous bound.
bool triggers(Watcher& watcher, std::chrono::milliseconds quiet = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + std::max(quiet, 10000ms);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto started = std::chrono::steady_clock::now();
        if (next_trigger(watcher, quiet)) {
            return true;
        }
        if (std::chrono::steady_clock::now() - started >= quiet) {
            return false;
        }
    }
    return false;
}

TEST(Watcher, RefusesAnythingButRealDirectories) {
    const testing::ScratchDir scratch;
    fs::create_directory(scratch / "real");
    fs::create_directory_symlink(scratch / "real", scratch / "link");
    (void)scratch.write("file", "");
    const auto open_error = [](const fs::path& path) {
        return error_of([&] { (void)open_watcher({path}); });
    };
    EXPECT_EQ(open_error(scratch / "link"),
              "WATCH_PATHS entry is not a real directory: " + (scratch / "link").string());
    EXPECT_EQ(open_error(scratch / "missing"), "inspect WATCH_PATHS entry " +
                                                   (scratch / "missing").string() +
                                                   ": No such file or directory (os error 2)");
    // Every path is checked before any watch is made.
    EXPECT_EQ(error_of([&] {
                  (void)open_watcher({scratch / "real", scratch / "file"});
              }),
              "WATCH_PATHS entry is not a real directory: " + (scratch / "file").string());
}

// A snapshot directory is made first and completed later, possibly long after its own event: what
// completes it inside triggers again, what else happens there does not, and its watch goes with
// it without ending the watcher.
TEST(Watcher, FollowsNewSnapshotDirectoriesOneLevelDown) {
    const testing::ScratchDir scratch;
    const fs::path watched = scratch / "snapshots";
    fs::create_directory(watched);
    fs::create_directory(scratch / "elsewhere");
    Watcher watcher = open_watcher({watched});

    fs::create_directory(watched / "5");
    ASSERT_TRUE(triggers(watcher));
    (void)scratch.write("snapshots/5/info.xml.tmp-1", "<snapshot/>");
    fs::create_directory(watched / "5/other");
    fs::create_directory(watched / "5/other/snapshot");
    EXPECT_FALSE(triggers(watcher, 200ms));
    fs::create_directory(watched / "5/snapshot");
    EXPECT_TRUE(triggers(watcher));
    fs::rename(watched / "5/info.xml.tmp-1", watched / "5/info.xml");
    EXPECT_TRUE(triggers(watcher));

    fs::remove_all(watched / "5");
    EXPECT_TRUE(triggers(watcher));
    EXPECT_FALSE(triggers(watcher, 200ms));

    fs::create_directory(watched / "6");
    ASSERT_TRUE(triggers(watcher));
    fs::rename(watched / "6", scratch / "elsewhere/6");
    EXPECT_TRUE(triggers(watcher));
    fs::create_directory(scratch / "elsewhere/6/snapshot");
    EXPECT_FALSE(triggers(watcher, 200ms));
    EXPECT_TRUE(watcher.children.empty());

    // A directory moved in is followed like one made there.
    fs::rename(scratch / "elsewhere/6", watched / "7");
    ASSERT_TRUE(triggers(watcher));
    fs::rename(watched / "7/snapshot", watched / "7/old");
    fs::rename(watched / "7/old", watched / "7/snapshot");
    EXPECT_TRUE(triggers(watcher));
}

}  // namespace
}  // namespace snapwright::triggers
