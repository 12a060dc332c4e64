#include "app/status_command.hpp"

#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "app/boot_warnings.hpp"
#include "app/output.hpp"
#include "base/app_error.hpp"
#include "base/checked.hpp"
#include "base/paths.hpp"
#include "base/system_paths.hpp"
#include "bootloader/entry_directory.hpp"
#include "bootloader/entry_references.hpp"
#include "bootloader/render.hpp"
#include "generation/plan.hpp"
#include "manifest/archive_gc.hpp"
#include "manifest/manifest_store.hpp"
#include "store/object_store.hpp"
#include "store/object_walk.hpp"
#include "system/archive_location.hpp"
#include "system/free_space.hpp"
#include "system/subvolume.hpp"

namespace snapwright::app {
namespace {

std::uint64_t present_bytes(const std::filesystem::path& store_root,
                            const std::set<store::ObjectId>& ids) {
    std::uint64_t bytes = 0;
    for (const store::ObjectId& id : ids) {
        if (const std::optional<std::uint64_t> size = store::object_size(store_root, id)) {
            bytes = base::checked_add(bytes, *size, "deployed object byte count overflow");
        }
    }
    return bytes;
}

// The first entry file name of each of this system's manifests whose snapshot is read-only: a
// snapshot is deployed when that entry is on disk.
std::set<std::string> read_only_entry_names(
    const std::vector<manifest::SnapshotManifest>& manifests,
    const generation::RunContext& context) {
    std::set<std::string> names;
    for (const manifest::SnapshotManifest& manifest : manifests) {
        if (!generation::belongs_to_this_system(manifest, context) ||
            !boots_read_only(manifest, context.filesystems)) {
            continue;
        }
        try {
            names.insert(bootloader::entry_file_name(manifest, 0));
        } catch (const base::AppError&) {
            // A snapshot whose entry cannot be named is never deployed; advice only counts.
        }
    }
    return names;
}

// The manifest counts, and the budget figures of a plan over every archived manifest; with
// `read_only_names`, also read_only_entry_names.
void add_archive_figures(const generation::RunContext& context, StatusReport& report,
                         std::set<std::string>* read_only_names = nullptr) {
    // Every manifest, whatever machine or system it came from: the figures describe the whole
    // archive, not only what this machine would deploy. The manifests are handed to the plan
    // and dropped with it before the entries are read.
    std::vector<manifest::SnapshotManifest> manifests =
        manifest::list_manifests(context.archive_root);
    report.other_os_manifests = other_os_manifests(manifests, context.machine_id, context.os_name);
    if (read_only_names) {
        *read_only_names = read_only_entry_names(manifests, context);
    }
    report.archived_manifests = manifests.size();
    report.archive_references = manifest::referenced_objects(manifests).size();
    const generation::DeploymentPlan plan = generation::plan_deployment(
        std::move(manifests), context.config.snapshot_limit, context.config.snapshot_kernel_limit,
        context.config.snapshot_asset_limit_bytes);
    report.average_set_bytes = plan.average_set_bytes;
    report.required_reserve_bytes = plan.reserve_bytes;
}

// The rest of the report, given the objects that the generated entries refer to.
void add_store_figures(const generation::RunContext& context,
                       const std::set<store::ObjectId>& deployed, StatusReport& report) {
    report.deployed_objects = deployed.size();
    report.deployed_bytes = present_bytes(context.boot_data_root, deployed);

    const store::StoreStatistics archive = store::store_statistics(context.archive_root);
    report.archive_objects = archive.objects;
    report.archive_bytes = archive.bytes;

    report.boot_free_bytes = system::free_space(context.boot_root);

    report.entry_directory = base::display_path(context.entry_directory);
    report.boot_data_root = base::display_path(context.boot_data_root);
    report.archive_root = base::display_path(context.archive_root);
}

}  // namespace

StatusReport compute_status(const generation::RunContext& context) {
    StatusReport report;
    std::set<std::string> read_only_names;
    add_archive_figures(context, report, &read_only_names);
    const std::map<std::string, std::string> generated =
        bootloader::list_generated_entry_files(context.entry_directory, context.machine_id);
    for (const std::string& name : read_only_names) {
        report.read_only_deployed += generated.contains(name) ? 1 : 0;
    }
    add_store_figures(context,
                      bootloader::collect_entry_references(generated, context.boot_data_relative),
                      report);
    return report;
}

std::string format_status(const StatusReport& report) {
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

void print_status(const StatusReport& report) {
    write_stdout(format_status(report));
}

void run_status(const generation::RunContext& context) {
    system::check_archive_reachable(context.config.archive_path, context.filesystems);
    const StatusReport report = compute_status(context);
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
