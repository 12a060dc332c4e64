#include "triggers/inotify_records.hpp"

#include <sys/inotify.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "support/error_of.hpp"

namespace snapwright::triggers {
namespace {

// One record as the kernel lays it out: header in machine byte order, then the padded name.
std::string record(std::uint32_t mask, std::string name = "", int watch = 1) {
    if (!name.empty()) {
        name.resize((name.size() / 16 + 1) * 16, '\0');
    }
    inotify_event header{};
    header.wd = watch;
    header.mask = mask;
    header.len = static_cast<std::uint32_t>(name.size());
    std::string bytes(sizeof header, '\0');
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes + name;
}

std::string walk_error(const std::string& bytes) {
    return testing::error_of([&] { (void)walk_inotify_records(bytes); });
}

TEST(InotifyRecords, DirectoriesTriggerPlainFilesDoNot) {
    struct Case {
        std::uint32_t mask;
        EventBatch expected;
    };
    const Case cases[] = {
        {IN_CREATE | IN_ISDIR, {.trigger = true}},
        {IN_DELETE | IN_ISDIR, {.trigger = true}},
        {IN_MOVED_FROM | IN_ISDIR, {.trigger = true}},
        {IN_MOVED_TO | IN_ISDIR, {.trigger = true}},
        {IN_CREATE, {}},
        {IN_DELETE, {}},
        {IN_MOVED_TO, {}},
        {IN_ATTRIB | IN_ISDIR, {}},
        {IN_Q_OVERFLOW, {.trigger = true}},
        {IN_IGNORED, {.invalidated = true}},
        {IN_DELETE_SELF, {.trigger = true, .invalidated = true}},
        {IN_MOVE_SELF, {.trigger = true, .invalidated = true}},
        {IN_UNMOUNT, {.trigger = true, .invalidated = true}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(walk_inotify_records(record(c.mask, "7")), c.expected) << std::hex << c.mask;
    }
    EXPECT_EQ(kWatchMask, IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                              IN_MOVE_SELF | IN_UNMOUNT | IN_ONLYDIR | IN_DONT_FOLLOW);
}

// Records of a child watch (any watch but 1 here) only trigger for what completes a snapshot, and
// its end is no invalidation.
TEST(InotifyRecords, ChildWatchesTriggerForSnapshotsOnly) {
    struct Case {
        std::uint32_t mask;
        std::string name;
        EventBatch expected;
    };
    const Case cases[] = {
        {IN_CREATE | IN_ISDIR, "snapshot", {.trigger = true}},
        {IN_MOVED_TO | IN_ISDIR, "snapshot", {.trigger = true}},
        {IN_MOVED_TO, "info.xml", {.trigger = true}},
        {IN_CREATE, "info.xml", {}},
        {IN_CREATE, "snapshot", {}},
        {IN_MOVED_TO | IN_ISDIR, "info.xml", {}},
        {IN_CREATE | IN_ISDIR, "other", {}},
        {IN_DELETE_SELF, "", {}},
        {IN_IGNORED, "", {}},
        {IN_Q_OVERFLOW, "", {.trigger = true}},
    };
    for (const Case& c : cases) {
        const std::vector<InotifyRecord> records = parse_inotify_records(record(c.mask, c.name, 2));
        EXPECT_EQ(records, (std::vector<InotifyRecord>{{2, c.mask, c.name}}));
        EXPECT_EQ(judge_inotify_records(records, {1}), c.expected) << std::hex << c.mask << c.name;
    }
}

TEST(InotifyRecords, ManyRecordsInOneReadAreOneBatch) {
    std::string bytes;
    for (int i = 0; i < 50; ++i) {
        bytes += record(IN_DELETE | IN_ISDIR, std::to_string(i));
        bytes += record(IN_CREATE, "file" + std::to_string(i));
    }
    bytes += record(IN_DELETE_SELF) + record(IN_IGNORED);
    EXPECT_EQ(walk_inotify_records(bytes), (EventBatch{.trigger = true, .invalidated = true}));
}

TEST(InotifyRecords, MalformedStreamsAreRefused) {
    const std::string whole = record(IN_CREATE | IN_ISDIR, "snapshot");
    const std::string truncated = "truncated inotify event record";
    const std::string trailing = "trailing bytes in inotify event stream";
    EXPECT_EQ(walk_error(whole.substr(0, 15)), trailing);
    EXPECT_EQ(walk_error(whole.substr(0, whole.size() - 1)), truncated);
    EXPECT_EQ(walk_error(whole + record(IN_CREATE, "x").substr(0, 20)), truncated);
    EXPECT_EQ(walk_error(whole + std::string(15, '\0')), trailing);
    EXPECT_EQ(walk_error(whole + std::string(1, '\0')), trailing);
    // A record whose name length wraps past the end is caught before the sum overflows.
    EXPECT_EQ(walk_error(record(IN_CREATE).replace(12, 4, std::string(4, '\xff'))), truncated);
}

}  // namespace
}  // namespace snapwright::triggers
