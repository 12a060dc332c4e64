#include "app/status_command.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "app/boot_warnings.hpp"
#include "app/output.hpp"
#include "system/archive_location.hpp"

namespace snapwright::app {

std::string format_status(const report::StatusReport& report) {
    const auto line = [](const char* label, const std::string& value) {
        return std::string(label) + value + "\n";
    };
    const auto number = [&](const char* label, std::uint64_t value) {
        return line(label, std::to_string(value));
    };
    // The labels are aligned as the report has always been printed, uneven columns included;
    // scripts read these lines.
    return line("Entry directory    : ", report.entry_directory) +
           line("Archive root       : ", report.archive_root) +
           line("Boot data root      : ", report.boot_data_root) +
           number("Archived manifests : ", report.archived_manifests) +
           number("Archive references : ", report.archive_references) +
           number("Archive objects    : ", report.archive_objects) +
           number("Archive bytes      : ", report.archive_bytes) +
           number("Deployed objects   : ", report.deployed_objects) +
           number("Deployed bytes     : ", report.deployed_bytes) +
           number("Average kernel set : ", report.average_set_bytes) +
           number("Required boot reserve: ", report.required_reserve_bytes) +
           number("Boot free bytes     : ", report.boot_free_bytes);
}

std::string format_unified_kernel_images(system::SecureBoot secure_boot,
                                         const bootloader::UkiScan& scan) {
    if (scan.images.empty() && scan.refusals.empty()) {
        return "";
    }
    std::string text =
        "Secure Boot        : " + std::string(system::secure_boot_text(secure_boot)) + "\n";
    for (const bootloader::UnifiedKernelImage& image : scan.images) {
        text += "Unified kernel image: " + image.locations.front();
        if (image.kernel_signed) {
            text += ", kernel signed on its own\n";
        } else if (secure_boot == system::SecureBoot::Enabled) {
            text +=
                ", kernel not signed on its own: no snapshot entry is made from it while "
                "Secure Boot is enabled\n";
        } else {
            text +=
                ", kernel not signed on its own: its snapshot entries boot only while Secure "
                "Boot is disabled\n";
        }
    }
    for (const std::string& refusal : scan.refusals) {
        text += "Unified kernel image: passed over: " + refusal + "\n";
    }
    return text;
}

void print_status(const report::StatusReport& report) {
    write_stdout(format_status(report));
}

void run_status(const generation::RunContext& context) {
    system::check_archive_reachable(context.config.archive_path, context.filesystems);
    const report::StatusReport report = report::compute_status(context);
    // Judged here, not refused: the lines say what generate would do with each image.
    const bootloader::UkiScan images = bootloader::scan_unified_kernel_images(
        context.boot_root, {}, system::SecureBoot::NotReported, false);
    print_status(report);
    write_stdout(format_unified_kernel_images(
        system::read_secure_boot(context.efi_variables_directory), images));
    for (const std::optional<std::string>& line :
         {check_default_entry(context),
          other_os_warning(report.other_os_manifests, context.os_name),
          volatile_advice(report.read_only_deployed, context.config.snapshot_kernel_parameters)}) {
        if (line) {
            print_warning(*line);
        }
    }
}

}  // namespace snapwright::app
