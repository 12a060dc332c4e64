#include "bootloader/generate.hpp"

#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/checked.hpp"
#include "base/directory_chain.hpp"
#include "base/paths.hpp"
#include "base/shared_clusters.hpp"
#include "base/system_paths.hpp"
#include "bootloader/archive_capture.hpp"
#include "bootloader/budget.hpp"
#include "bootloader/deployment.hpp"
#include "bootloader/entry_directory.hpp"
#include "bootloader/entry_location.hpp"
#include "bootloader/entry_references.hpp"
#include "bootloader/plan.hpp"
#include "bootloader/render.hpp"
#include "bootloader/uki_reader.hpp"
#include "manifest/legacy_migration.hpp"
#include "manifest/manifest_store.hpp"
#include "store/object_store.hpp"
#include "store/object_walk.hpp"
#include "system/archive_location.hpp"
#include "system/root_device.hpp"
#include "system/secure_boot.hpp"
#include "system/subvolume.hpp"
#include "system/top_level_mount.hpp"

namespace snapwright::bootloader {
namespace {

std::uint64_t total_text_bytes(const std::vector<GeneratedEntry>& entries) {
    std::uint64_t total = 0;
    for (const auto& entry : entries) {
        total = base::checked_add(total, entry.text.size(), "generated entry byte count overflow");
    }
    return total;
}

// Whether the entry temporary `name` must stay because it may share its clusters with the entry
// it was replacing: unlinking it could free the clusters under the live entry.
bool keep_shared_temporary(const fs::path& entry_directory, int directory, const std::string& name,
                           std::string_view target) {
    if (base::first_cluster_sharing(directory, name, std::string(target)) ==
        base::ClusterSharing::Separate) {
        return false;
    }
    // A run clears leftovers twice; each file is named once.
    static std::set<fs::path> warned;
    if (!warned.insert(entry_directory / name).second) {
        return true;
    }
    const std::string warning = "snapwright: warning: keeping " +
                                base::display_path(entry_directory / name) +
                                ", which may share its clusters with " +
                                base::display_path(entry_directory / std::string(target)) +
                                "; check the boot filesystem with fsck.vfat\n";
    std::fputs(warning.c_str(), stderr);
    std::fflush(stderr);
    return true;
}

// Says once per path that a directory left by an interrupted creation stays.
void warn_left_directories(const std::vector<fs::path>& left) {
    static std::set<fs::path> warned;
    for (const fs::path& path : left) {
        if (!warned.insert(path).second) {
            continue;
        }
        const std::string warning = "snapwright: warning: keeping " + base::display_path(path) +
                                    ", left by an interrupted run; check the boot filesystem "
                                    "with fsck.vfat\n";
        std::fputs(warning.c_str(), stderr);
    }
    std::fflush(stderr);
}

}  // namespace

bool belongs_to_this_system(const manifest::SnapshotManifest& manifest, const RunContext& context) {
    return manifest.machine_id == context.machine_id && manifest.os_name == context.os_name;
}

void remove_interrupted_leftovers(const fs::path& entry_directory, const fs::path& archive_root,
                                  const fs::path& boot_data_root, std::string_view machine_id,
                                  const fs::path& runtime_directory) {
    const std::string own_prefix = std::string(base::kEntryPrefix) + std::string(machine_id) + "-";
    (void)base::remove_temporaries(
        entry_directory,
        [&](std::string_view target) {
            return target.starts_with(own_prefix) && target.ends_with(".conf");
        },
        [&](int directory, const std::string& name, std::string_view target) {
            return keep_shared_temporary(entry_directory, directory, name, target);
        });
    manifest::remove_snapshot_leftovers(archive_root);
    (void)store::remove_object_temporaries(boot_data_root);
    warn_left_directories(store::remove_directory_leftovers(boot_data_root));
    system::remove_abandoned_mount_points(runtime_directory);
}

GenerateReport run_generate(const RunContext& context, provider::Provider& provider) {
    const config::Config& config = context.config;
    check_entry_directory(context.entry_directory);

    // Booted into a snapshot, ARCHIVE_PATH may hold only the empty directory that stands for a
    // nested subvolume, or lie on a read-only or in-memory filesystem: say so, rather than fail
    // on the first write there.
    system::check_archive_reachable(config.archive_path, context.filesystems);
    system::ensure_archive_subvolume(config.archive_path);
    base::ensure_directory(config.archive_path, context.machine_id);

    std::vector<BootEntry> entries = read_entry_directory(context.entry_directory);
    // Only ordinary entries can become sources; the generated ones, one per deployed profile,
    // would otherwise be carried through capture for nothing.
    std::erase_if(entries, [](const BootEntry& entry) { return is_owned_entry(entry); });
    entries.shrink_to_fit();
    const auto inventory = list_generated_entry_files(context.entry_directory, context.machine_id);
    const std::set<store::ObjectId> current_references =
        collect_entry_references(inventory, context.boot_data_relative);

    // Each stage's data is handed on or dropped when the next begins: with many snapshots the
    // descriptors, the manifests and the rendered entries would otherwise all be held at once.
    store::HashCache hashes;
    std::vector<provider::SnapshotDescriptor> snapshots = provider.list_snapshots();
    const auto source_root = provider.source_root();
    const provider::ProviderScope scope = provider.scope();
    manifest::migrate_legacy_manifests(context.archive_root, context.boot_data_root);
    std::vector<manifest::SnapshotManifest> own_manifests;
    ArchiveContents archive;
    const CaptureCounts counts = capture_archive(
        CaptureInputs{
            .snapshots = std::move(snapshots),
            .scope = scope,
            .machine_id = context.machine_id,
            .os_name = context.os_name,
            .entries = std::move(entries),
            .running_root = {
                .names_filesystem =
                    [&context](std::string_view root_value) {
                        return system::names_root_filesystem(root_value,
                                                             context.root_filesystem_uuid);
                    },
                .subvolume =
                    [&context] { return system::read_root_subvolume(context.filesystems); },
            },
            .read_images =
                [&context](const std::vector<BootEntry>& read) {
                    UkiScan scan = scan_unified_kernel_images(
                        context.boot_root, read,
                        system::read_secure_boot(context.efi_variables_directory));
                    for (const std::string& refusal : scan.refusals) {
                        const std::string warning =
                            "snapwright: warning: passing over " + refusal + "\n";
                        std::fputs(warning.c_str(), stderr);
                    }
                    std::fflush(stderr);
                    return std::move(scan.images);
                },
            .boot_root = context.boot_root,
            .archive_root = context.archive_root,
            .kernel_parameters = config.snapshot_kernel_parameters,
            .boot_data_relative = context.boot_data_relative,
            .source_root = source_root,
            .hashes = &hashes,
        },
        &own_manifests, &archive);

    // What capture kept is planned even when the provider listed nothing: after a rollback the
    // old root's snapshots still exist, unlisted, and are exactly the ones that may be needed.
    DeploymentPlan plan =
        plan_deployment(std::move(own_manifests), config.snapshot_limit,
                        config.snapshot_kernel_limit, config.snapshot_asset_limit_bytes);
    const std::vector<GeneratedEntry> desired =
        render_entries(plan.deployments, context.boot_data_relative);
    const std::uint64_t deployed_snapshots = plan.deployments.size();
    std::vector<manifest::SnapshotManifest>().swap(plan.deployments);
    // A copy or a write that an earlier run left unfinished would count against the budget and
    // fail it until the next collection; it goes first.
    remove_interrupted_leftovers(context.entry_directory, context.archive_root,
                                 context.boot_data_root, context.machine_id);
    check_boot_budget(context.boot_root, plan, current_references, total_text_bytes(desired),
                      context.boot_data_root, &hashes);
    check_entry_changes(context.entry_directory, context.machine_id, inventory, desired);

    // Every check has passed; from here on the boot filesystem changes. The whole data
    // directory chain is made (refusing a symbolic link at every level) before the first copy,
    // so no object can land outside the boot filesystem.
    warn_left_directories(
        base::remove_chain_temporaries(context.boot_root, context.boot_data_relative));
    base::ensure_directory(context.boot_root, context.boot_data_relative,
                           base::NewDirectory::Renamed);
    deploy_objects(plan.objects, context.archive_root, context.boot_data_root, &hashes);
    const bool entries_changed =
        apply_entries(context.entry_directory, context.machine_id, inventory, desired);

    // Objects that only an older layout's manifests name exist nowhere else until that layout
    // has been migrated and removed, so they stay while it exists.
    std::set<store::ObjectId> deployed_references =
        collect_entry_references(desired, context.boot_data_relative);
    std::set<store::ObjectId> keep = deployed_references;
    keep.merge(manifest::legacy_referenced_objects(context.boot_data_root));
    const store::GarbageCollection boot_gc = store::collect_garbage(context.boot_data_root, keep);

    // Capture has just read every manifest and made the archive what it now is: the objects they
    // name are what the archive store keeps.
    const store::GarbageCollection archive_gc =
        store::collect_garbage(context.archive_root, archive.references);
    manifest::remove_legacy_manifests(context.boot_data_root);
    remove_interrupted_leftovers(context.entry_directory, context.archive_root,
                                 context.boot_data_root, context.machine_id);

    GenerateReport report;
    report.manifests_created = counts.created;
    report.manifests_updated = counts.updated;
    report.manifests_removed = counts.removed;
    report.asset_references = counts.asset_references;
    report.deployed_snapshots = deployed_snapshots;
    report.kernel_sets = plan.kernel_set_count;
    report.deployed_objects = plan.objects.size();
    report.deployed_bytes = plan.deployed_bytes;
    report.average_set_bytes = plan.average_set_bytes;
    report.reserved_bytes = plan.reserve_bytes;
    report.archive_gc_objects = archive_gc.removed_objects;
    report.archive_gc_bytes = archive_gc.removed_bytes;
    report.boot_gc_objects = boot_gc.removed_objects;
    report.boot_gc_bytes = boot_gc.removed_bytes;
    report.entries_changed = entries_changed;
    report.final_state.archived_manifests = archive.manifests;
    report.final_state.archive_references = archive.references.size();
    report.final_state.plan_covers_archive = archive.foreign_manifests == 0;
    report.final_state.deployed_references = std::move(deployed_references);
    return report;
}

}  // namespace snapwright::bootloader
