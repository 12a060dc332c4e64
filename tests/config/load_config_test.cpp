#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/config.hpp"
#include "config/load_config.hpp"
#include "support/child_process.hpp"
#include "support/error_of.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::config {
namespace {

using testing::ScratchDir;

std::string load_error(const std::filesystem::path& path) {
    return testing::error_of([&] { (void)load_config(path); });
}

TEST(LoadConfig, MissingFileGivesDefaults) {
    ScratchDir dir;
    EXPECT_EQ(load_config(dir / "absent.conf"), default_config());
    EXPECT_EQ(load_config(dir / "absent-dir" / "snapwright.conf"), default_config());
}

TEST(LoadConfig, ParsesRegularFile) {
    ScratchDir dir;
    const auto path = dir.write("snapwright.conf", "# settings\nSNAPSHOT_LIMIT=9\n");
    EXPECT_EQ(load_config(path).snapshot_limit, 9u);
}

TEST(LoadConfig, ReportsParseErrorsUnchanged) {
    ScratchDir dir;
    const auto path = dir.write("snapwright.conf", "\nlower=1\n");
    EXPECT_EQ(load_error(path), "invalid configuration key on line 2");
}

TEST(LoadConfig, RefusesWhatIsNotARegularFile) {
    ScratchDir dir;
    const auto target = dir.write("real.conf", "SNAPSHOT_LIMIT=9\n");
    std::filesystem::create_symlink(target, dir / "link.conf");
    std::filesystem::create_symlink(dir / "nowhere", dir / "dangling.conf");
    std::filesystem::create_directory(dir / "dir.conf");
    ASSERT_EQ(::mkfifo((dir / "fifo.conf").c_str(), 0600), 0);

    for (const std::string name : {"link.conf", "dangling.conf", "dir.conf", "fifo.conf"}) {
        EXPECT_EQ(load_error(dir / name),
                  "configuration is not a regular file: " + (dir / name).string())
            << name;
    }
}

TEST(LoadConfig, InspectFailureCarriesOsError) {
    ScratchDir dir;
    const auto file = dir.write("plain", "");
    // A path through a regular file fails to be examined for a reason other than absence.
    EXPECT_EQ(load_error(file / "snapwright.conf"),
              "inspect " + (file / "snapwright.conf").string() + ": Not a directory (os error 20)");
}

TEST(LoadConfig, ReadFailures) {
    ScratchDir dir;
    const auto invalid = dir.write("invalid.conf", "TARGET_OS_NAME=\xff\n");
    EXPECT_EQ(load_error(invalid),
              "read " + invalid.string() + ": stream did not contain valid UTF-8");

    const auto locked = dir.write("locked.conf", "SNAPSHOT_LIMIT=1\n");
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(testing::run_as_ordinary_user(dir.path(),
                                            [&] {
                                                (void)load_config(locked);
                                                return std::string("loaded");
                                            }),
              "error: read " + locked.string() + ": Permission denied (os error 13)");
}

TEST(LoadConfig, PathWithInvalidUtf8IsShownLossily) {
    ScratchDir dir;
    const std::filesystem::path path = dir.path() / std::filesystem::path("bad\xff.conf");
    std::filesystem::create_directory(path);
    EXPECT_EQ(load_error(path), "configuration is not a regular file: " + dir.path().string() +
                                    "/bad\xEF\xBF\xBD.conf");
}

}  // namespace
}  // namespace snapwright::config
