#include "generation/boot_space.hpp"

#include <gtest/gtest.h>

#include "support/error_of.hpp"

namespace snapwright::generation {
namespace {

constexpr std::uint64_t kMiB = 1048576;
constexpr std::uint64_t kMax = UINT64_MAX;

std::string space_error(const BootSpaceFigures& figures) {
    return testing::error_of([&] { check_boot_space_figures(figures); });
}

TEST(BootSpace, NeedsTheTransactionOverheadEvenForNothing) {
    EXPECT_NO_THROW(check_boot_space_figures({.free_bytes = kMiB}));
    EXPECT_EQ(space_error({.free_bytes = kMiB - 1}),
              "boot filesystem has insufficient temporary space: need 1048576 bytes, have "
              "1048575; existing systemd-boot snapshot entries were not changed");
}

TEST(BootSpace, CountsNewObjectsAndThreeCopiesOfTheEntries) {
    EXPECT_EQ(space_error({.free_bytes = 10 * kMiB, .new_bytes = 9 * kMiB, .entry_bytes = 1000}),
              "boot filesystem has insufficient temporary space: need 10488760 bytes, have "
              "10485760; existing systemd-boot snapshot entries were not changed");
    EXPECT_NO_THROW(check_boot_space_figures(
        {.free_bytes = 10 * kMiB + 3000, .new_bytes = 9 * kMiB, .entry_bytes = 1000}));
}

TEST(BootSpace, KeepsRoomForTwoAverageSetsAfterTheDeployment) {
    const BootSpaceFigures tight{.free_bytes = 100 * kMiB,
                                 .new_bytes = 60 * kMiB,
                                 .reclaimable_bytes = 10 * kMiB,
                                 .entry_bytes = 0,
                                 .reserve_bytes = 50 * kMiB + 1,
                                 .average_set_bytes = 25 * kMiB + 1};
    EXPECT_EQ(space_error(tight),
              "boot filesystem must retain space for two average kernel/initramfs sets: projected "
              "52428800 bytes, required 52428801 bytes (average set 26214401 bytes); reduce "
              "SNAPSHOT_KERNEL_LIMIT or SNAPSHOT_ASSET_LIMIT_BYTES");
    BootSpaceFigures fits = tight;
    fits.reclaimable_bytes += 1;  // what only the current entries use counts as freed
    EXPECT_NO_THROW(check_boot_space_figures(fits));
}

TEST(BootSpace, ReportsEveryOverflow) {
    EXPECT_EQ(space_error({.free_bytes = kMax, .entry_bytes = kMax / 3 + 1}),
              "boot transaction overhead overflow");
    // 3 × entry bytes fits, but adding the MiB would not.
    EXPECT_EQ(space_error({.free_bytes = kMax, .entry_bytes = (kMax - kMiB) / 3 + 1}),
              "boot transaction overhead overflow");
    EXPECT_NO_THROW(
        check_boot_space_figures({.free_bytes = kMax, .entry_bytes = (kMax - kMiB) / 3}));
    EXPECT_EQ(space_error({.free_bytes = kMax, .new_bytes = kMax}),
              "boot deployment requirement overflow");
    EXPECT_EQ(space_error({.free_bytes = kMax, .reclaimable_bytes = 1}),
              "boot projected free-space calculation overflow");
}

}  // namespace
}  // namespace snapwright::generation
