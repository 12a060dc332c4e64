#include "triggers/watcher.hpp"

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "support/error_of.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::triggers {
namespace {

using testing::error_of;
namespace fs = std::filesystem;

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

}  // namespace
}  // namespace snapwright::triggers
