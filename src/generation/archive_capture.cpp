#include "generation/archive_capture.hpp"

#include <algorithm>
#include <map>
#include <set>

#include "base/app_error.hpp"
#include "base/checked.hpp"
#include "base/paths.hpp"
#include "bootloader/fragment.hpp"
#include "bootloader/selection.hpp"
#include "bootloader/uki_reader.hpp"
#include "manifest/archive_gc.hpp"
#include "manifest/manifest_store.hpp"
#include "store/object_store.hpp"

namespace snapwright::generation {
namespace {

using manifest::BootProfile;
using manifest::kSchemaVersion;
using manifest::list_manifests;
using manifest::remove_manifest;
using manifest::repair_source_config;
using manifest::save_manifest;
using manifest::SnapshotManifest;
using manifest::write_fragment;

namespace fs = std::filesystem;

constexpr const char* kCountOverflow = "archive reconciliation count overflow";
// Snapshot directories held open by one batch of writes; far below the descriptor limit.
constexpr std::size_t kSnapshotsPerBatch = 64;

void check_scope(const CaptureInputs& inputs) {
    for (const auto& descriptor : inputs.snapshots) {
        const auto& key = descriptor.key;
        if (key.filesystem_uuid != inputs.scope.filesystem_uuid ||
            key.provider != inputs.scope.provider || key.instance != inputs.scope.instance) {
            base::throw_error("one reconciliation run may contain only one provider scope");
        }
    }
}

bool is_own_system(const SnapshotManifest& manifest, const CaptureInputs& inputs) {
    return manifest.machine_id == inputs.machine_id && manifest.os_name == inputs.os_name;
}

// Whether an archived manifest that the provider did not report is to be removed.
bool is_stale(const SnapshotManifest& manifest, const CaptureInputs& inputs,
              const std::set<provider::SnapshotKey>& current) {
    if (!is_own_system(manifest, inputs) || current.count(manifest.snapshot.key) != 0) {
        return false;
    }
    return !inputs.unlisted_snapshot_exists || !inputs.unlisted_snapshot_exists(manifest.snapshot);
}

// Removes the stale manifests from the archive and from `archived`.
std::uint64_t remove_stale(std::vector<SnapshotManifest>& archived, const CaptureInputs& inputs,
                           const std::set<provider::SnapshotKey>& current) {
    std::uint64_t removed = 0;
    std::erase_if(archived, [&](const SnapshotManifest& manifest) {
        if (!is_stale(manifest, inputs, current)) {
            return false;
        }
        if (remove_manifest(inputs.archive_root, manifest.snapshot.key)) {
            removed = base::checked_add(removed, 1, kCountOverflow);
        }
        return true;
    });
    return removed;
}

bool key_order(const SnapshotManifest& a, const SnapshotManifest& b) {
    return a.snapshot.key < b.snapshot.key;
}

// Splits what capture leaves in `archived` into this system's manifests and the figures of the
// whole archive; `archived` is emptied.
void hand_over(std::vector<SnapshotManifest>& archived, const CaptureInputs& inputs,
               CaptureResult& result) {
    result.archive.manifests = archived.size();
    result.archive.references = manifest::referenced_objects(archived);
    result.own.reserve(archived.size());
    for (SnapshotManifest& manifest : archived) {
        if (is_own_system(manifest, inputs)) {
            result.own.push_back(std::move(manifest));
        } else if (manifest.machine_id == inputs.machine_id) {
            ++result.archive.other_os_manifests[manifest.os_name];
        }
    }
    std::vector<SnapshotManifest>().swap(archived);
    std::sort(result.own.begin(), result.own.end(), key_order);
}

store::AssetRef import_boot_asset(const CaptureInputs& inputs, const std::string& path,
                                  store::AssetKind kind) {
    bootloader::check_asset_path(path);
    return store::import_asset(inputs.archive_root, base::join_under(inputs.boot_root, path), kind,
                               inputs.hashes);
}

// The assets unpacked from one unified kernel image; every new snapshot of a run shares them.
struct UnpackedAssets {
    store::AssetRef kernel;
    std::vector<store::AssetRef> modules;
};
using UnpackedImages = std::map<std::string, UnpackedAssets>;

const bootloader::PeSection& section_named(const bootloader::UkiSections& sections,
                                           std::string_view name) {
    if (name == ".ucode")
        return *sections.ucode;
    if (name == ".initrd")
        return *sections.initrd;
    if (name == ".dtb")
        return *sections.dtb;
    return sections.linux;
}

// Streams the image's sections into the store, from the very file that was read for selection.
const UnpackedAssets& unpack_image(const bootloader::SourceProfile& source,
                                   const CaptureInputs& inputs, UnpackedImages& unpacked) {
    const bootloader::UkiOrigin& origin = *source.image;
    if (const auto found = unpacked.find(origin.location); found != unpacked.end()) {
        return found->second;
    }
    const base::UniqueFd fd =
        bootloader::reopen_unified_kernel_image(inputs.boot_root, origin.location, origin.identity);
    const std::string name = fs::path(origin.location).filename().native();
    const auto import = [&](std::string_view section_name, store::AssetKind kind) {
        const bootloader::PeSection& section = section_named(origin.sections, section_name);
        return store::import_asset_range(inputs.archive_root, fd.get(), section.offset,
                                         section.size, kind, name + ":" + section.name);
    };
    UnpackedAssets assets;
    // Microcode, initramfs, kernel, then the device tree.
    bool kernel_done = false;
    for (const auto& [section_name, kind] : source.modules) {
        if (kind == store::AssetKind::DeviceTree && !kernel_done) {
            assets.kernel = import(source.kernel, store::AssetKind::Kernel);
            kernel_done = true;
        }
        assets.modules.push_back(import(section_name, kind));
    }
    if (!kernel_done) {
        assets.kernel = import(source.kernel, store::AssetKind::Kernel);
    }
    return unpacked.emplace(origin.location, std::move(assets)).first->second;
}

BootProfile build_profile(const bootloader::SourceProfile& source,
                          const provider::SnapshotDescriptor& snapshot, const CaptureInputs& inputs,
                          UnpackedImages& unpacked) {
    BootProfile profile;
    if (source.image) {
        const UnpackedAssets& assets = unpack_image(source, inputs, unpacked);
        profile.kernel = assets.kernel;
        profile.modules = assets.modules;
    } else {
        profile.kernel = import_boot_asset(inputs, source.kernel, store::AssetKind::Kernel);
        for (const auto& [path, kind] : source.modules) {
            profile.modules.push_back(import_boot_asset(inputs, path, kind));
        }
    }
    profile.name = source.name;
    profile.protocol = source.protocol;
    profile.cmdline =
        bootloader::snapshot_options(source.cmdline, snapshot.subvolume, inputs.kernel_parameters);
    profile.options = source.options;
    return profile;
}

SnapshotManifest new_manifest(const provider::SnapshotDescriptor& snapshot,
                              const bootloader::SourceSelection& selection,
                              const CaptureInputs& inputs, UnpackedImages& unpacked) {
    SnapshotManifest manifest;
    manifest.schema_version = kSchemaVersion;
    manifest.snapshot = snapshot;
    manifest.os_name = selection.os_name;
    manifest.machine_id = inputs.machine_id;
    manifest.source_config = selection.source_config;
    for (const auto& source : selection.profiles) {
        manifest.profiles.push_back(build_profile(source, snapshot, inputs, unpacked));
    }
    return manifest;
}

std::uint64_t asset_references(const SnapshotManifest& manifest) {
    std::uint64_t count = 0;
    for (const auto& profile : manifest.profiles) {
        count = base::checked_add(count, 1, kCountOverflow);
        count = base::checked_add(count, profile.modules.size(), kCountOverflow);
    }
    return count;
}

void write_manifest_fragment(const SnapshotManifest& manifest, const CaptureInputs& inputs,
                             base::AtomicWriteBatch& writes) {
    write_fragment(inputs.archive_root, manifest.snapshot.key,
                   bootloader::render_fragment(manifest, inputs.boot_data_relative), &writes);
}

// Stages the files of one reported snapshot in `writes`: a new manifest for a snapshot seen for
// the first time, an updated or repaired one for an archived snapshot, and its fragment.
void stage_snapshot(const provider::SnapshotDescriptor& descriptor, const CaptureInputs& inputs,
                    const std::optional<bootloader::SourceSelection>& selection,
                    std::vector<SnapshotManifest>& listed,
                    std::map<provider::SnapshotKey, std::size_t>& archived, CaptureCounts& counts,
                    UnpackedImages& unpacked, base::AtomicWriteBatch& writes) {
    const auto found = archived.find(descriptor.key);
    if (found != archived.end()) {
        SnapshotManifest& manifest = listed[found->second];
        if (manifest.snapshot == descriptor) {
            // save_manifest may have been interrupted between its two files.
            (void)repair_source_config(inputs.archive_root, manifest, &writes);
        } else {
            if (manifest.snapshot.subvolume != descriptor.subvolume) {
                for (auto& profile : manifest.profiles) {
                    profile.cmdline =
                        bootloader::rewrite_root_options(profile.cmdline, descriptor.subvolume);
                }
            }
            manifest.snapshot = descriptor;
            save_manifest(inputs.archive_root, manifest, &writes);
            counts.updated = base::checked_add(counts.updated, 1, kCountOverflow);
        }
        write_manifest_fragment(manifest, inputs, writes);
        return;
    }
    SnapshotManifest manifest = new_manifest(descriptor, *selection, inputs, unpacked);
    save_manifest(inputs.archive_root, manifest, &writes);
    counts.created = base::checked_add(counts.created, 1, kCountOverflow);
    counts.asset_references =
        base::checked_add(counts.asset_references, asset_references(manifest), kCountOverflow);
    write_manifest_fragment(manifest, inputs, writes);
    archived.emplace(descriptor.key, listed.size());
    listed.push_back(std::move(manifest));
}

}  // namespace

CaptureResult capture_archive(const CaptureInputs& inputs) {
    check_scope(inputs);
    std::set<provider::SnapshotKey> current;
    for (const auto& descriptor : inputs.snapshots) {
        current.insert(descriptor.key);
    }
    std::vector<SnapshotManifest> listed = list_manifests(inputs.archive_root);

    CaptureResult result;
    CaptureCounts& counts = result.counts;
    if (inputs.snapshots.empty()) {
        counts.removed = remove_stale(listed, inputs, current);
        hand_over(listed, inputs, result);
        return result;
    }

    // Entries are selected, and their files read, only when some snapshot is new; before
    // anything is removed, so that a failure here changes nothing. The listing is in key order.
    std::optional<bootloader::SourceSelection> selection;
    const bool any_new =
        std::any_of(inputs.snapshots.begin(), inputs.snapshots.end(), [&](const auto& descriptor) {
            SnapshotManifest probe;
            probe.snapshot.key = descriptor.key;
            return !std::binary_search(listed.begin(), listed.end(), probe, key_order);
        });
    if (any_new) {
        selection =
            bootloader::select_source_entries(inputs.entries, inputs.machine_id, inputs.os_name,
                                              inputs.running_root, inputs.read_images);
    }

    counts.removed = remove_stale(listed, inputs, current);

    // Positions rather than copies: with many snapshots the manifests are most of what a run
    // holds.
    std::map<provider::SnapshotKey, std::size_t> archived;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        archived.emplace(listed[i].snapshot.key, i);
    }
    // The snapshot files are written in batches with a sync of the archive's filesystem before
    // and after each batch's renames, instead of two syncs per file: capturing hundreds of new
    // snapshots would otherwise cost thousands of syncs. Each batch holds the directories of a
    // bounded number of snapshots open. A snapshot's objects are durable before its manifest is
    // staged (import_asset syncs each copy), and its manifest.json lands before its other files.
    base::AtomicWriteBatch writes(base::AtomicWriteBatch::Sync::WholeFilesystem);
    UnpackedImages unpacked;
    for (const auto& descriptor : inputs.snapshots) {
        if (writes.directories() >= kSnapshotsPerBatch) {
            writes.commit();
        }
        const std::size_t staged_before = writes.staged();
        try {
            stage_snapshot(descriptor, inputs, selection, listed, archived, counts, unpacked,
                           writes);
        } catch (const base::AppError&) {
            // The snapshots staged before this one are complete: they land, and only this
            // one's files are dropped. The failure to report is this snapshot's own.
            writes.discard_after(staged_before);
            try {
                writes.commit();
            } catch (const base::AppError&) {
                // What did not land is written again by the next run.
            }
            throw;
        }
    }
    writes.commit();
    hand_over(listed, inputs, result);
    return result;
}

}  // namespace snapwright::generation
