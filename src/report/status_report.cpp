#include "report/status_report.hpp"

#include <exception>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "base/app_error.hpp"
#include "base/checked.hpp"
#include "base/paths.hpp"
#include "bootloader/entry_directory.hpp"
#include "bootloader/entry_references.hpp"
#include "bootloader/render.hpp"
#include "generation/desired_entries.hpp"
#include "generation/plan.hpp"
#include "manifest/archive_gc.hpp"
#include "manifest/manifest_store.hpp"
#include "manifest/newest_manifests.hpp"
#include "report/snapshot_facts.hpp"
#include "store/object_store.hpp"
#include "store/object_walk.hpp"
#include "system/free_space.hpp"

namespace snapwright::report {
namespace {

using GeneratedFiles = std::map<std::string, std::string>;

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

// The generated entry on disk that `manifest` deploys read-only, when it is of this system and
// read-only and the entry of its first file name is among `generated`: a view of that name there.
std::optional<std::string_view> read_only_deployed_entry(const manifest::SnapshotManifest& manifest,
                                                         const generation::RunContext& context,
                                                         const GeneratedFiles& generated) {
    if (!generation::belongs_to_this_system(manifest, context)) {
        return std::nullopt;
    }
    GeneratedFiles::const_iterator entry;
    try {
        entry = generated.find(bootloader::entry_file_name(manifest, 0));
    } catch (const base::AppError&) {
        // A snapshot whose entry cannot be named is never deployed; advice only counts.
        return std::nullopt;
    }
    if (entry == generated.end() || !boots_read_only(manifest, context.filesystems)) {
        return std::nullopt;
    }
    return entry->first;
}

// What the plan looks at: the key, the age and the profiles.
manifest::SnapshotManifest plan_input(manifest::SnapshotManifest&& manifest) {
    manifest::SnapshotManifest input;
    input.snapshot.key = std::move(manifest.snapshot.key);
    input.snapshot.created_utc = std::move(manifest.snapshot.created_utc);
    input.profiles = std::move(manifest.profiles);
    return input;
}

// The manifest counts, and the budget figures of a plan over every archived manifest; with
// `generated`, the entries on disk, also the read-only deployed count.
void add_archive_figures(const generation::RunContext& context, StatusReport& report,
                         const GeneratedFiles* generated = nullptr) {
    // Every manifest, whatever machine or system it came from: the figures describe the whole
    // archive, not only what this machine would deploy.
    std::set<store::ObjectId> references;
    // By entry name, which is what is deployed: at most one per generated entry.
    std::set<std::string_view> read_only_entries;
    manifest::NewestManifests newest(context.config.snapshot_limit);
    manifest::for_each_manifest(context.archive_root, [&](manifest::SnapshotManifest&& manifest) {
        ++report.archived_manifests;
        count_other_os_manifest(report.other_os_manifests, manifest, context.machine_id,
                                context.os_name);
        if (generated) {
            if (const std::optional<std::string_view> name =
                    read_only_deployed_entry(manifest, context, *generated)) {
                read_only_entries.insert(*name);
            }
        }
        manifest::add_referenced_objects(references, manifest);
        newest.offer(plan_input(std::move(manifest)));
    });
    report.archive_references = references.size();
    report.read_only_deployed = read_only_entries.size();
    const generation::DeploymentPlan plan = generation::plan_deployment(
        newest.take(), context.config.snapshot_limit, context.config.snapshot_kernel_limit,
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
    // The entries are read first, so that each manifest's read-only count is taken as it goes
    // by; a failure to read them is reported where it always was, after the archive's.
    GeneratedFiles generated;
    std::exception_ptr entries_failure;
    try {
        generated =
            bootloader::list_generated_entry_files(context.entry_directory, context.machine_id);
    } catch (...) {
        entries_failure = std::current_exception();
    }
    StatusReport report;
    add_archive_figures(context, report, &generated);
    if (entries_failure) {
        std::rethrow_exception(entries_failure);
    }
    add_store_figures(context,
                      bootloader::collect_entry_references(generated, context.boot_data_relative),
                      report);
    return report;
}

}  // namespace snapwright::report
