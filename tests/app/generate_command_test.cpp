#include "app/generate_command.hpp"

#include <gtest/gtest.h>

namespace snapwright::app {
namespace {

TEST(GenerateSummary, OneLineWithEveryCountInOrder) {
    generation::GenerateReport report;
    report.archived_manifests = 1;
    report.manifests_created = 2;
    report.manifests_updated = 3;
    report.manifests_removed = 4;
    report.deployed_snapshots = 5;
    report.kernel_sets = 6;
    report.deployed_objects = 7;
    report.deployed_bytes = 8;
    report.average_set_bytes = 9;
    report.reserved_bytes = 10;
    report.archive_gc_objects = 11;
    report.archive_gc_bytes = 12;
    report.boot_gc_objects = 13;
    report.boot_gc_bytes = 18446744073709551615ULL;
    report.entries_changed = true;
    EXPECT_EQ(format_generate_summary(report),
              "Archived 1 snapshot manifests (created 2, updated 3, removed 4); deployed 5 "
              "snapshots using 6 kernel set(s), 7 objects and 8 bytes; average kernel/initramfs "
              "set 9 bytes, reserved free space 10 bytes; archive GC removed 11 objects (12 "
              "bytes); boot GC removed 13 objects (18446744073709551615 bytes); systemd-boot "
              "snapshot entries updated\n");

    EXPECT_EQ(format_generate_summary(generation::GenerateReport{}),
              "Archived 0 snapshot manifests (created 0, updated 0, removed 0); deployed 0 "
              "snapshots using 0 kernel set(s), 0 objects and 0 bytes; average kernel/initramfs "
              "set 0 bytes, reserved free space 0 bytes; archive GC removed 0 objects (0 "
              "bytes); boot GC removed 0 objects (0 bytes); systemd-boot snapshot entries "
              "unchanged\n");
}

}  // namespace
}  // namespace snapwright::app
