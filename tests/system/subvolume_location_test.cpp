#include "system/subvolume_location.hpp"

#include <gtest/gtest.h>

#include "support/error_of.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::system {
namespace {

// Real subvolumes are read by the end-to-end tests; here only what needs no Btrfs.
TEST(SubvolumeLocation, NothingOrAnErrorAwayFromBtrfs) {
    const testing::ScratchDir dir;
    std::filesystem::create_directory(dir / "plain");
    std::filesystem::create_directory_symlink(dir / "plain", dir / "link");
    for (const char* name : {"plain", "link", "missing"}) {
        EXPECT_EQ(read_subvolume_location(dir / name), std::nullopt) << name;
    }
    EXPECT_EQ(testing::error_of([&] { (void)list_subvolume_paths(dir / "missing"); }),
              "list the Btrfs subvolumes of " + (dir / "missing").string() +
                  ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace snapwright::system
