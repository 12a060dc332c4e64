#include "generation/generate_run.hpp"

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/checked.hpp"
#include "base/directory_chain.hpp"
#include "bootloader/entry_directory.hpp"
#include "bootloader/entry_references.hpp"
#include "bootloader/render.hpp"
#include "bootloader/uki_reader.hpp"
#include "generation/archive_capture.hpp"
#include "generation/boot_space.hpp"
#include "generation/deployment.hpp"
#include "generation/desired_entries.hpp"
#include "generation/maintenance.hpp"
#include "manifest/archive_gc.hpp"
#include "manifest/legacy_migration.hpp"
#include "store/object_walk.hpp"
#include "system/archive_location.hpp"
#include "system/root_device.hpp"
#include "system/secure_boot.hpp"
#include "system/subvolume.hpp"

namespace snapwright::generation {
namespace {

std::uint64_t total_text_bytes(const std::vector<bootloader::GeneratedEntry>& entries) {
    std::uint64_t total = 0;
    for (const auto& entry : entries) {
        total = base::checked_add(total, entry.text.size(), "generated entry byte count overflow");
    }
    return total;
}

// Booted into a snapshot, ARCHIVE_PATH may hold only the empty directory that stands for a
// nested subvolume, or lie on a read-only or in-memory filesystem: say so, rather than fail on
// the first write there.
void prepare_archive(const RunContext& context) {
    system::check_archive_reachable(context.config.archive_path, context.filesystems);
    system::ensure_archive_subvolume(context.config.archive_path);
    base::ensure_directory(context.config.archive_path, context.machine_id);
}

// The ordinary entries of the entry directory, the candidates for sources.
std::vector<bootloader::BootEntry> read_source_entries(const RunContext& context) {
    std::vector<bootloader::BootEntry> sources =
        bootloader::read_entry_directory(context.entry_directory);
    // Only ordinary entries can become sources; the generated ones, one per deployed profile,
    // would otherwise be carried through capture for nothing.
    std::erase_if(sources, [](const bootloader::BootEntry& entry) {
        return bootloader::is_owned_entry(entry);
    });
    sources.shrink_to_fit();
    return sources;
}

// This machine's generated entries as the run finds them.
struct CurrentEntries {
    // The entry files, by name.
    std::map<std::string, std::string> generated;
    // The objects those name.
    std::set<store::ObjectId> references;
};

CurrentEntries read_generated_entries(const RunContext& context) {
    CurrentEntries current;
    current.generated =
        bootloader::list_generated_entry_files(context.entry_directory, context.machine_id);
    current.references =
        bootloader::collect_entry_references(current.generated, context.boot_data_relative);
    return current;
}

// The unified kernel images that capture may unpack, read only when it asks; those passed over
// are named on standard error.
std::vector<bootloader::UnifiedKernelImage> read_images(
    const RunContext& context, const std::vector<bootloader::BootEntry>& entries) {
    bootloader::UkiScan scan = bootloader::scan_unified_kernel_images(
        context.boot_root, entries, system::read_secure_boot(context.efi_variables_directory));
    for (const std::string& refusal : scan.refusals) {
        const std::string warning = "snapwright: warning: passing over " + refusal + "\n";
        std::fputs(warning.c_str(), stderr);
    }
    std::fflush(stderr);
    return std::move(scan.images);
}

// Lists the snapshots, migrates an older archive layout and brings the archive up to date.
CaptureResult capture(const RunContext& context, provider::Provider& provider,
                      std::vector<bootloader::BootEntry> sources, store::HashCache& hashes) {
    std::vector<provider::SnapshotDescriptor> snapshots = provider.list_snapshots();
    manifest::migrate_legacy_manifests(context.archive_root, context.boot_data_root);
    return capture_archive(
        CaptureInputs{
            .snapshots = std::move(snapshots),
            .scope = provider.scope(),
            .machine_id = context.machine_id,
            .os_name = context.os_name,
            .entries = std::move(sources),
            .running_root =
                {
                    .names_filesystem =
                        [&context](std::string_view root_value) {
                            return system::names_root_filesystem(root_value,
                                                                 context.root_filesystem_uuid);
                        },
                    .subvolume =
                        [&context] { return system::read_root_subvolume(context.filesystems); },
                },
            .read_images =
                [&context](const std::vector<bootloader::BootEntry>& read) {
                    return read_images(context, read);
                },
            .boot_root = context.boot_root,
            .archive_root = context.archive_root,
            .kernel_parameters = context.config.snapshot_kernel_parameters,
            .boot_data_relative = context.boot_data_relative,
            .unlisted_snapshot_exists =
                [&provider](const provider::SnapshotDescriptor& recorded) {
                    return provider.unlisted_snapshot_exists(recorded);
                },
            .own_limit = context.config.snapshot_limit,
        },
        hashes);
}

GenerateReport report_of(const CaptureResult& captured, const DesiredEntries& desired) {
    GenerateReport report;
    report.archived_manifests = captured.archive.manifests;
    report.manifests_created = captured.counts.created;
    report.manifests_updated = captured.counts.updated;
    report.manifests_removed = captured.counts.removed;
    report.deployed_snapshots = desired.deployed_snapshots;
    report.kernel_sets = desired.plan.kernel_set_count;
    report.deployed_objects = desired.plan.objects.size();
    report.deployed_bytes = desired.plan.deployed_bytes;
    report.average_set_bytes = desired.plan.average_set_bytes;
    report.reserved_bytes = desired.plan.reserve_bytes;
    report.other_os_manifests = captured.archive.other_os_manifests;
    return report;
}

}  // namespace

GenerateReport run_generate(const RunContext& context, provider::Provider& provider) {
    prepare_archive(context);

    // Each stage's data is handed on or dropped when the next begins: with many snapshots the
    // descriptors, the manifests and the rendered entries would otherwise all be held at once.
    // The run's record of the files it hashed and the objects it found intact, shared by capture,
    // the boot space check and deployment, and dropped with the run: nothing is trusted across
    // runs.
    store::HashCache hashes;
    CaptureResult captured = capture(context, provider, read_source_entries(context), hashes);
    // What capture kept is planned even when the provider listed nothing: after a rollback the
    // old root's snapshots still exist, unlisted, and are exactly the ones that may be needed.
    const DesiredEntries desired = desired_entries(std::move(captured.own), context);
    // Read only now that the snapshot descriptors and the kept manifests are gone: capture
    // changes no entry, and with thousands of entries their texts would add to its peak.
    const CurrentEntries current = read_generated_entries(context);
    // A copy or a write that an earlier run left unfinished would count against the boot space
    // check and fail it until the next collection; it goes first. Capture's walk has just seen
    // whether the archive holds any.
    remove_interrupted_leftovers(
        context.entry_directory, context.archive_root, context.boot_data_root, context.machine_id,
        context.runtime_directory,
        captured.archive.leftovers ? SnapshotLeftovers::Possible : SnapshotLeftovers::NoneSeen);
    check_boot_space(context.boot_root, desired.plan, current.references,
                     total_text_bytes(desired.entries), context.boot_data_root, hashes);
    check_entry_changes(context.entry_directory, context.machine_id, current.generated,
                        desired.entries);

    // Every check has passed; from here on the boot filesystem changes. The whole data
    // directory chain is made (refusing a symbolic link at every level) before the first copy,
    // so no object can land outside the boot filesystem.
    make_boot_data_chain(context.boot_root, context.boot_data_relative);
    const std::uint64_t copies =
        deploy_objects(desired.plan.objects, context.archive_root, context.boot_data_root, hashes);
    GenerateReport report = report_of(captured, desired);
    report.entries_changed = apply_entries(context.entry_directory, context.machine_id,
                                           current.generated, desired.entries);

    const store::GarbageCollection boot_gc = collect_boot_store(
        context.boot_data_root,
        bootloader::collect_entry_references(desired.entries, context.boot_data_relative));
    // Capture has just read every manifest and made the archive what it now is: the objects they
    // name are what the archive store keeps.
    const store::GarbageCollection archive_gc =
        manifest::collect_archive_garbage(context.archive_root, captured.archive.references);
    const bool legacy_removed = manifest::remove_legacy_manifests(context.boot_data_root);
    // The clean-up before the checks left nothing behind; a run that has written and removed
    // nothing since cannot have left anything either. Nothing since has touched the archive's
    // snapshot directories, so they are not looked through again.
    if (copies > 0 || report.entries_changed || boot_gc.removed_objects > 0 ||
        archive_gc.removed_objects > 0 || legacy_removed) {
        remove_interrupted_leftovers(context.entry_directory, context.archive_root,
                                     context.boot_data_root, context.machine_id,
                                     context.runtime_directory, SnapshotLeftovers::NoneSeen);
    }
    report.archive_gc_objects = archive_gc.removed_objects;
    report.archive_gc_bytes = archive_gc.removed_bytes;
    report.boot_gc_objects = boot_gc.removed_objects;
    report.boot_gc_bytes = boot_gc.removed_bytes;
    return report;
}

}  // namespace snapwright::generation
