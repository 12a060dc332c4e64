#include "app/status_command.hpp"

#include <gtest/gtest.h>

namespace snapwright::app {
namespace {

using report::StatusReport;

TEST(FormatStatus, TwelveAlignedLines) {
    StatusReport report;
    report.entry_directory = "/boot/loader/entries";
    report.boot_data_root = "/boot/snapwright/m";
    report.archive_root = "/var/lib/snapwright/m";
    report.archived_manifests = 1;
    report.archive_references = 2;
    report.archive_objects = 3;
    report.archive_bytes = 4;
    report.deployed_objects = 5;
    report.deployed_bytes = 6;
    report.average_set_bytes = 7;
    report.required_reserve_bytes = 8;
    report.boot_free_bytes = 18446744073709551615ULL;
    EXPECT_EQ(format_status(report),
              "Entry directory    : /boot/loader/entries\n"
              "Archive root       : /var/lib/snapwright/m\n"
              "Boot data root      : /boot/snapwright/m\n"
              "Archived manifests : 1\n"
              "Archive references : 2\n"
              "Archive objects    : 3\n"
              "Archive bytes      : 4\n"
              "Deployed objects   : 5\n"
              "Deployed bytes     : 6\n"
              "Average kernel set : 7\n"
              "Required boot reserve: 8\n"
              "Boot free bytes     : 18446744073709551615\n");
}

TEST(FormatUnifiedKernelImages, SaysForEachImageWhetherSnapshotEntriesCanBoot) {
    EXPECT_EQ(format_unified_kernel_images(system::SecureBoot::Enabled, {}), "");
    bootloader::UkiScan scan;
    scan.images.resize(2);
    scan.images[0].locations = {"/EFI/Linux/signed.efi"};
    scan.images[0].kernel_signed = true;
    scan.images[1].locations = {"/EFI/Linux/local.efi"};
    scan.refusals = {"malformed PE image /EFI/Linux/bad.efi: no .linux section"};
    EXPECT_EQ(format_unified_kernel_images(system::SecureBoot::Enabled, scan),
              "Secure Boot        : enabled\n"
              "Unified kernel image: /EFI/Linux/signed.efi, kernel signed on its own\n"
              "Unified kernel image: /EFI/Linux/local.efi, kernel not signed on its own: no "
              "snapshot entry is made from it while Secure Boot is enabled\n"
              "Unified kernel image: passed over: malformed PE image /EFI/Linux/bad.efi: no .linux "
              "section\n");
    scan.images.erase(scan.images.begin());
    scan.refusals.clear();
    EXPECT_EQ(format_unified_kernel_images(system::SecureBoot::NotReported, scan),
              "Secure Boot        : not reported by the firmware\n"
              "Unified kernel image: /EFI/Linux/local.efi, kernel not signed on its own: its "
              "snapshot entries boot only while Secure Boot is disabled\n");
}

}  // namespace
}  // namespace snapwright::app
