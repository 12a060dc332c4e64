#include "generation/store_permissions.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/error_of.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::generation {
namespace {

namespace fs = std::filesystem;

// This machine "m" with its archive and boot store in `scratch`.
RunContext context_in(const testing::ScratchDir& scratch) {
    RunContext context;
    context.config.archive_path = scratch / "archive";
    context.config.data_directory = "data/dir";
    context.archive_root = scratch / "archive/m";
    context.boot_root = scratch / "boot";
    context.boot_data_root = scratch / "boot/data/dir/m";
    return context;
}

TEST(StoreDirectories, RefusesOwnDirectoriesThatGroupOrOthersCanWrite) {
    struct Case {
        const char* what;
        const char* directory;  // relative to the scratch directory; made with every parent
        mode_t mode;
        bool refused;
    };
    const Case cases[] = {
        {"archive path", "archive", 0777, true},
        {"deep in the archive", "archive/m/snapshots/u/btrfs/root/1", 0775, true},
        {"archive object fan-out, sticky", "archive/m/objects/sha256/ab", 01777, true},
        {"boot data directory", "boot/data/dir", 0757, true},
        {"boot store, group only", "boot/data/dir/m/objects/sha256/cd", 0770, true},
        {"read and search for everyone", "archive/m/snapshots", 0755, false},
        // Not the program's: the boot root, what lies above the data directory, and the
        // stores of other machines sharing the archive or the boot partition.
        {"boot root", "boot", 0777, false},
        {"above the data directory", "boot/data", 0777, false},
        {"another machine's archive", "archive/other", 0777, false},
        {"another machine's boot store", "boot/data/dir/other/objects", 0777, false},
    };
    for (const Case& c : cases) {
        const testing::ScratchDir scratch;
        const RunContext context = context_in(scratch);
        // Stores that do not exist yet are fine.
        EXPECT_NO_THROW(check_store_directories(context)) << c.what;
        for (const fs::path& own : {context.archive_root, context.boot_data_root}) {
            fs::create_directories(own);
            ::chmod(own.c_str(), 0755);
        }
        fs::create_directories(scratch / c.directory);
        ASSERT_EQ(::chmod((scratch / c.directory).c_str(), c.mode), 0) << c.what;
        if (!c.refused) {
            EXPECT_NO_THROW(check_store_directories(context)) << c.what;
            continue;
        }
        const std::string shown = (scratch / c.directory).string();
        EXPECT_EQ(testing::error_of([&] { check_store_directories(context); }),
                  "refusing group- or world-writable directory " + shown +
                      "; fix it with chmod go-w " + shown)
            << c.what;
    }
}

TEST(StoreDirectories, LeavesWhatLiesBelowTheSnapshotsDirectoryToCapture) {
    const testing::ScratchDir scratch;
    const RunContext context = context_in(scratch);
    const fs::path snapshots = context.archive_root / "snapshots";
    fs::create_directories(snapshots / "u/btrfs/root/1");
    fs::create_directories(context.boot_data_root);
    ASSERT_EQ(::chmod((snapshots / "u/btrfs/root/1").c_str(), 0775), 0);
    EXPECT_NO_THROW(check_store_directories(context, SnapshotDirectories::CheckedByCapture));
    EXPECT_ANY_THROW(check_store_directories(context));
    ASSERT_EQ(::chmod(snapshots.c_str(), 0777), 0);
    EXPECT_ANY_THROW(check_store_directories(context, SnapshotDirectories::CheckedByCapture));
}

}  // namespace
}  // namespace snapwright::generation
