#include "generation/archive_capture.hpp"

#include <algorithm>
#include <map>
#include <optional>

#include "base/app_error.hpp"
#include "base/checked.hpp"
#include "base/paths.hpp"
#include "bootloader/fragment.hpp"
#include "bootloader/selection.hpp"
#include "bootloader/uki_reader.hpp"
#include "manifest/manifest_store.hpp"
#include "manifest/newest_manifests.hpp"
#include "store/object_store.hpp"

namespace snapwright::generation {
namespace {

using manifest::BootProfile;
using manifest::kSchemaVersion;
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

// The reported snapshots by key, as positions into the provider's list.
class ReportedSnapshots {
  public:
    explicit ReportedSnapshots(const std::vector<provider::SnapshotDescriptor>& snapshots)
        : snapshots_(snapshots), by_key_(snapshots.size()) {
        for (std::size_t i = 0; i < by_key_.size(); ++i) {
            by_key_[i] = i;
        }
        std::sort(by_key_.begin(), by_key_.end(), [&](std::size_t a, std::size_t b) {
            return snapshots[a].key < snapshots[b].key;
        });
    }

    // The position of the snapshot with `key`, if it is reported.
    std::optional<std::size_t> find(const provider::SnapshotKey& key) const {
        const auto it = std::lower_bound(
            by_key_.begin(), by_key_.end(), key,
            [&](std::size_t i, const provider::SnapshotKey& k) { return snapshots_[i].key < k; });
        if (it == by_key_.end() || snapshots_[*it].key != key) {
            return std::nullopt;
        }
        return *it;
    }

  private:
    const std::vector<provider::SnapshotDescriptor>& snapshots_;
    std::vector<std::size_t> by_key_;
};

// An archived manifest brought in line with the descriptor reported now: a changed subvolume
// rewrites the root options of every recorded command line.
SnapshotManifest updated_manifest(SnapshotManifest manifest,
                                  const provider::SnapshotDescriptor& descriptor) {
    if (manifest.snapshot.subvolume != descriptor.subvolume) {
        for (auto& profile : manifest.profiles) {
            profile.cmdline =
                bootloader::rewrite_root_options(profile.cmdline, descriptor.subvolume);
        }
    }
    manifest.snapshot = descriptor;
    return manifest;
}

// What capture hands on, gathered one manifest at a time as the archive will hold it after the
// run: the figures of the whole archive and the newest of this system's manifests.
class Handover {
  public:
    Handover(const CaptureInputs& inputs, CaptureResult& result)
        : inputs_(inputs), result_(result), own_(inputs.own_limit) {}

    void add(SnapshotManifest manifest) {
        ArchiveContents& archive = result_.archive;
        archive.manifests = base::checked_add(archive.manifests, 1, kCountOverflow);
        for (const auto& profile : manifest.profiles) {
            archive.references.insert(profile.kernel.object);
            for (const auto& module : profile.modules) {
                archive.references.insert(module.object);
            }
        }
        if (is_own_system(manifest, inputs_)) {
            // The plan and the renderer never read the source entries, and with thousands of
            // snapshots their text would be the largest part of what is kept.
            std::string().swap(manifest.source_config);
            own_.offer(std::move(manifest));
        } else if (manifest.machine_id == inputs_.machine_id) {
            ++archive.other_os_manifests[manifest.os_name];
        }
    }

    void finish() { result_.own = own_.take(); }

  private:
    const CaptureInputs& inputs_;
    CaptureResult& result_;
    manifest::NewestManifests own_;
};

// What the read-only pass over the archive found, by position in the provider's list.
struct ArchiveScan {
    // Whether each reported snapshot is archived already.
    std::vector<bool> archived;
    // The archived manifests of reported snapshots whose files are to be written again, as read.
    std::map<std::size_t, SnapshotManifest> to_rewrite;
    // This system's manifests whose snapshot is neither reported nor still there.
    std::vector<provider::SnapshotKey> stale;
    // Whether the walk saw leftovers of interrupted writes or removals.
    bool leftovers = false;
};

// Reads every manifest once, changing nothing, so that a bad manifest fails the run before any
// change: what is to be rewritten or removed is noted, and every manifest the archive keeps is
// handed over as the run will leave it.
ArchiveScan scan_archive(const CaptureInputs& inputs, const ReportedSnapshots& reported,
                         Handover& handover) {
    ArchiveScan scan;
    scan.archived.assign(inputs.snapshots.size(), false);
    const auto visit = [&](SnapshotManifest&& manifest, int directory) {
        const std::optional<std::size_t> position = reported.find(manifest.snapshot.key);
        if (!position) {
            const bool stale = is_own_system(manifest, inputs) &&
                               (!inputs.unlisted_snapshot_exists ||
                                !inputs.unlisted_snapshot_exists(manifest.snapshot));
            if (stale) {
                scan.stale.push_back(manifest.snapshot.key);
            } else {
                handover.add(std::move(manifest));
            }
            return;
        }
        scan.archived[*position] = true;
        const provider::SnapshotDescriptor& descriptor = inputs.snapshots[*position];
        // save_manifest may have been interrupted between its files, and a fragment may be
        // stale: those are written again too.
        const bool current =
            manifest.snapshot == descriptor &&
            manifest::snapshot_files_current(
                directory, manifest,
                bootloader::render_fragment_for_comparison(manifest, inputs.boot_data_relative));
        if (current) {
            handover.add(std::move(manifest));
            return;
        }
        handover.add(updated_manifest(manifest, descriptor));
        scan.to_rewrite.emplace(*position, std::move(manifest));
    };
    // Each directory is checked as it is opened, so the stores' check need not walk them first.
    scan.leftovers =
        manifest::walk_manifests(inputs.archive_root, visit, /*refuse_shared=*/true).leftovers;
    return scan;
}

// The assets unpacked from one unified kernel image; every new snapshot of a run shares them.
struct UnpackedAssets {
    store::AssetRef kernel;
    std::vector<store::AssetRef> modules;
};
using UnpackedImages = std::map<std::string, UnpackedAssets>;

// What the imports of one capture share: the run's record of the files it hashed and the
// objects it found intact, and the unified kernel images unpacked so far, by location.
struct Imports {
    store::HashCache& hashes;
    UnpackedImages images;
};

store::AssetRef import_boot_asset(const CaptureInputs& inputs, const std::string& path,
                                  store::AssetKind kind, Imports& imports) {
    bootloader::check_asset_path(path);
    return store::import_asset(inputs.archive_root, base::join_under(inputs.boot_root, path), kind,
                               &imports.hashes);
}

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
                                   const CaptureInputs& inputs, Imports& imports) {
    const bootloader::UkiOrigin& origin = *source.image;
    if (const auto found = imports.images.find(origin.location); found != imports.images.end()) {
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
    return imports.images.emplace(origin.location, std::move(assets)).first->second;
}

BootProfile build_profile(const bootloader::SourceProfile& source,
                          const provider::SnapshotDescriptor& snapshot, const CaptureInputs& inputs,
                          Imports& imports) {
    BootProfile profile;
    if (source.image) {
        const UnpackedAssets& assets = unpack_image(source, inputs, imports);
        profile.kernel = assets.kernel;
        profile.modules = assets.modules;
    } else {
        profile.kernel =
            import_boot_asset(inputs, source.kernel, store::AssetKind::Kernel, imports);
        for (const auto& [path, kind] : source.modules) {
            profile.modules.push_back(import_boot_asset(inputs, path, kind, imports));
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
                              const CaptureInputs& inputs, Imports& imports) {
    SnapshotManifest manifest;
    manifest.schema_version = kSchemaVersion;
    manifest.snapshot = snapshot;
    manifest.os_name = selection.os_name;
    manifest.machine_id = inputs.machine_id;
    manifest.source_config = selection.source_config;
    for (const auto& source : selection.profiles) {
        manifest.profiles.push_back(build_profile(source, snapshot, inputs, imports));
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
// the first time, an updated or repaired one for an archived snapshot whose files are not
// current, and its fragment.
void stage_snapshot(std::size_t position, const CaptureInputs& inputs,
                    const std::optional<bootloader::SourceSelection>& selection, ArchiveScan& scan,
                    CaptureCounts& counts, Imports& imports, Handover& handover,
                    base::AtomicWriteBatch& writes) {
    const provider::SnapshotDescriptor& descriptor = inputs.snapshots[position];
    if (scan.archived[position]) {
        const auto found = scan.to_rewrite.find(position);
        if (found == scan.to_rewrite.end()) {
            return;
        }
        SnapshotManifest manifest = std::move(found->second);
        scan.to_rewrite.erase(found);
        if (manifest.snapshot == descriptor) {
            (void)repair_source_config(inputs.archive_root, manifest, &writes);
        } else {
            manifest = updated_manifest(std::move(manifest), descriptor);
            save_manifest(inputs.archive_root, manifest, &writes);
            counts.updated = base::checked_add(counts.updated, 1, kCountOverflow);
        }
        write_manifest_fragment(manifest, inputs, writes);
        return;
    }
    SnapshotManifest manifest = new_manifest(descriptor, *selection, inputs, imports);
    save_manifest(inputs.archive_root, manifest, &writes);
    counts.created = base::checked_add(counts.created, 1, kCountOverflow);
    counts.asset_references =
        base::checked_add(counts.asset_references, asset_references(manifest), kCountOverflow);
    write_manifest_fragment(manifest, inputs, writes);
    scan.archived[position] = true;
    handover.add(std::move(manifest));
}

}  // namespace

CaptureResult capture_archive(const CaptureInputs& inputs, store::HashCache& hashes) {
    check_scope(inputs);
    CaptureResult result;
    CaptureCounts& counts = result.counts;
    Handover handover(inputs, result);
    ArchiveScan scan = scan_archive(inputs, ReportedSnapshots(inputs.snapshots), handover);

    // Entries are selected, and their files read, only when some snapshot is new; before
    // anything is removed, so that a failure here changes nothing.
    std::optional<bootloader::SourceSelection> selection;
    if (std::find(scan.archived.begin(), scan.archived.end(), false) != scan.archived.end()) {
        selection =
            bootloader::select_source_entries(inputs.entries, inputs.machine_id, inputs.os_name,
                                              inputs.running_root, inputs.read_images);
    }

    for (const provider::SnapshotKey& key : scan.stale) {
        if (remove_manifest(inputs.archive_root, key)) {
            counts.removed = base::checked_add(counts.removed, 1, kCountOverflow);
        }
    }

    // The snapshot files are written in batches with a sync of the archive's filesystem before
    // and after each batch's renames, instead of two syncs per file: capturing hundreds of new
    // snapshots would otherwise cost thousands of syncs. Each batch holds the directories of a
    // bounded number of snapshots open. A snapshot's objects are durable before its manifest is
    // staged (import_asset syncs each copy), and its manifest.json lands before its other files.
    base::AtomicWriteBatch writes(base::AtomicWriteBatch::Sync::WholeFilesystem);
    Imports imports{.hashes = hashes, .images = {}};
    for (std::size_t position = 0; position < inputs.snapshots.size(); ++position) {
        if (writes.directories() >= kSnapshotsPerBatch) {
            writes.commit();
        }
        const std::size_t staged_before = writes.staged();
        try {
            stage_snapshot(position, inputs, selection, scan, counts, imports, handover, writes);
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
    handover.finish();
    result.archive.leftovers = scan.leftovers;
    return result;
}

}  // namespace snapwright::generation
