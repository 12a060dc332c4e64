#include "app/generate_command.hpp"

#include <string>

#include "base/app_error.hpp"

namespace snapwright::app {

std::string format_generate_summary(std::uint64_t archived_manifests,
                                    const bootloader::GenerateReport& report) {
    const auto n = [](std::uint64_t value) { return std::to_string(value); };
    return "Archived " + n(archived_manifests) + " snapshot manifests (created " +
           n(report.manifests_created) + ", updated " + n(report.manifests_updated) + ", removed " +
           n(report.manifests_removed) + "); deployed " + n(report.deployed_snapshots) +
           " snapshots using " + n(report.kernel_sets) + " kernel set(s), " +
           n(report.deployed_objects) + " objects and " + n(report.deployed_bytes) +
           " bytes; average kernel/initramfs set " + n(report.average_set_bytes) +
           " bytes, reserved free space " + n(report.reserved_bytes) +
           " bytes; archive GC removed " + n(report.archive_gc_objects) + " objects (" +
           n(report.archive_gc_bytes) + " bytes); boot GC removed " + n(report.boot_gc_objects) +
           " objects (" + n(report.boot_gc_bytes) + " bytes); systemd-boot snapshot entries " +
           (report.entries_changed ? "updated" : "unchanged") + "\n";
}

}  // namespace snapwright::app
