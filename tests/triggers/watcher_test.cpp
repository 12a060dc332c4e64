#include "triggers/watcher.hpp"

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::triggers {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr ScheduleRequest kDebounced{.debounce = true, .synchronous = false};
constexpr const char* kInvalidated =
    "an inotify watch was invalidated; restart after restoring WATCH_PATHS";

std::string error_text(const std::function<void()>& action) {
    try {
        action();
    } catch (const base::AppError& error) {
        return error.display();
    }
    return "(no error)";
}

TEST(Watcher, SnapshotDirectoriesTriggerOnceAPlainFileNever) {
    const testing::ScratchDir snapshots;
    Watcher watcher = open_watcher({snapshots.path()});
    EXPECT_EQ(next_trigger(watcher, 0ms), std::nullopt);

    (void)snapshots.write("info.xml", "x");
    EXPECT_EQ(next_trigger(watcher, 100ms), std::nullopt);

    for (int i = 0; i < 50; ++i) {
        fs::create_directory(snapshots / std::to_string(i));
    }
    for (int i = 0; i < 50; ++i) {
        fs::remove(snapshots / std::to_string(i));
    }
    EXPECT_EQ(next_trigger(watcher, 100ms), kDebounced);
    EXPECT_EQ(next_trigger(watcher, 100ms), std::nullopt);
}

TEST(Watcher, ADeletedWatchedDirectoryTriggersThenEndsTheWatch) {
    const testing::ScratchDir parent;
    const fs::path snapshots = parent / "snapshots";
    fs::create_directories(snapshots / "1");
    Watcher watcher = open_watcher({snapshots});
    fs::remove_all(snapshots);
    // The events may arrive in more than one read; each read gives at most one run.
    std::optional<ScheduleRequest> first;
    std::string ended;
    for (int turn = 0; turn < 5 && ended.empty(); ++turn) {
        try {
            const auto request = next_trigger(watcher, 200ms);
            first = first ? first : request;
        } catch (const base::AppError& error) {
            ended = error.display();
        }
    }
    EXPECT_EQ(first, kDebounced);
    EXPECT_EQ(ended, kInvalidated);
    // It stays ended.
    EXPECT_EQ(error_text([&] { (void)next_trigger(watcher, 0ms); }), kInvalidated);
}

TEST(Watcher, RefusesAnythingButRealDirectories) {
    const testing::ScratchDir scratch;
    fs::create_directory(scratch / "real");
    fs::create_directory_symlink(scratch / "real", scratch / "link");
    (void)scratch.write("file", "");
    const auto open_error = [](const fs::path& path) {
        return error_text([&] { (void)open_watcher({path}); });
    };
    EXPECT_EQ(open_error(scratch / "link"),
              "WATCH_PATHS entry is not a real directory: " + (scratch / "link").string());
    EXPECT_EQ(open_error(scratch / "file"),
              "WATCH_PATHS entry is not a real directory: " + (scratch / "file").string());
    EXPECT_EQ(open_error(scratch / "missing"), "inspect WATCH_PATHS entry " +
                                                   (scratch / "missing").string() +
                                                   ": No such file or directory (os error 2)");
    // Every path is checked before any watch is made.
    EXPECT_EQ(error_text([&] {
                  (void)open_watcher({scratch / "real", scratch / "file"});
              }),
              "WATCH_PATHS entry is not a real directory: " + (scratch / "file").string());
}

}  // namespace
}  // namespace snapwright::triggers
