#include "system/archive_location.hpp"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::system {
namespace {

namespace fs = std::filesystem;

// What a scratch filesystem can show; the subvolume, the empty directory a snapshot holds for a
// nested one and the read-only snapshot are exercised on real Btrfs by the end-to-end tests.
TEST(ArchiveLocation, ReachableOnlyWhereTheArchiveIsOrCanBeMade) {
    const testing::ScratchDir tools;
    testing::write_script(tools.path(), "btrfs",
                          "echo \"ERROR: Not a Btrfs subvolume: $4\" >&2\nexit 1");
    const testing::FakeToolPath path(tools.path());
    const testing::ScratchDir root;
    const fs::path memory = root / "memory";
    testing::write_file(root / "full/file", "");
    fs::create_directory_symlink(root / "full", root / "link");
    fs::create_directories(memory);
    const MountTable mounts = {{"/", "/@", "u", std::nullopt, "btrfs"},
                               {memory.string(), "/", std::nullopt, std::nullopt, "tmpfs"}};
    const auto unreachable = [](const fs::path& archive) {
        return "archive is not reachable at " + archive.string() +
               ": ARCHIVE_PATH is not the archive's Btrfs subvolume here, as happens when running "
               "from a snapshot whose root does not contain it";
    };

    const struct {
        fs::path archive;
        std::string error;
    } cases[] = {
        {root / "missing/archive", ""},
        {memory / "lib/archive", unreachable(memory / "lib/archive")},
        {root / "full", "ARCHIVE_PATH must be a Btrfs subvolume: " + (root / "full").string() +
                            ": ERROR: Not a Btrfs subvolume: " + (root / "full").string()},
        {root / "link", "archive path is not a real directory: " + (root / "link").string()},
    };
    for (const auto& c : cases) {
        if (c.error.empty()) {
            EXPECT_NO_THROW(check_archive_reachable(c.archive, mounts)) << c.archive;
        } else {
            EXPECT_EQ(testing::error_of([&] { check_archive_reachable(c.archive, mounts); }),
                      c.error)
                << c.archive;
        }
    }
    EXPECT_FALSE(fs::exists(root / "missing"));
}

}  // namespace
}  // namespace snapwright::system
