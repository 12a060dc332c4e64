#pragma once

#include <string>

#include "bootloader/uki_reader.hpp"
#include "generation/run_context.hpp"
#include "report/status_report.hpp"
#include "system/secure_boot.hpp"

namespace snapwright::app {

// The twelve report lines, each ending in a newline.
[[nodiscard]] std::string format_status(const report::StatusReport& report);

// What a machine that boots unified kernel images is told after the report: the Secure Boot
// state, then one line per image in /EFI/Linux saying whether snapshot entries can be unpacked
// from it (its kernel signed on its own, or Secure Boot not enforcing), or why it is passed over.
// Empty when there is no image, so the report of other machines stays as it was.
[[nodiscard]] std::string format_unified_kernel_images(system::SecureBoot secure_boot,
                                                       const bootloader::UkiScan& scan);

// Writes format_status to standard output.
void print_status(const report::StatusReport& report);

// The body of `status`: the report is printed only once the whole computation succeeded; then
// the warnings about the default boot entry, manifests under another operating-system name and
// read-only snapshots booted without a volatile state go to standard error.
void run_status(const generation::RunContext& context);

}  // namespace snapwright::app
