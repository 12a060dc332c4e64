#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bootloader/entry_parser.hpp"
#include "bootloader/selection.hpp"
#include "manifest/schema.hpp"
#include "provider/snapshot.hpp"
#include "store/hash_cache.hpp"
#include "store/object_id.hpp"

namespace snapwright::generation {

// What one capture run is given.
struct CaptureInputs {
    // The snapshots the provider reports now, in provider order.
    std::vector<provider::SnapshotDescriptor> snapshots;
    provider::ProviderScope scope;
    // The running system.
    std::string machine_id;
    std::string os_name;
    // The entries read from the entry directory; sources for snapshots seen for the first time.
    std::vector<bootloader::BootEntry> entries;
    // The running root filesystem and subvolume: tie entries without a machine-id line to this
    // machine when none has one.
    bootloader::RunningRoot running_root;
    // The unified kernel images of the boot filesystem, read only when no linux entry is a
    // source (empty: none).
    bootloader::ReadUnifiedKernelImages read_images;
    std::filesystem::path boot_root;
    // The manifest root and archive store data root.
    std::filesystem::path archive_root;
    // SNAPSHOT_KERNEL_PARAMETERS, appended to the command line of new profiles.
    std::string kernel_parameters;
    // The boot data directory relative to the boot root, for the generated fragments.
    std::filesystem::path boot_data_relative;
    // Whether a snapshot recorded in the archive but not among `snapshots` still exists
    // (provider::Provider::unlisted_snapshot_exists); without it, none does.
    std::function<bool(const provider::SnapshotDescriptor&)> unlisted_snapshot_exists;
    // How many of this system's manifests are handed over: the newest, as the plan would pick
    // them (SNAPSHOT_LIMIT).
    std::uint64_t own_limit = std::numeric_limits<std::uint64_t>::max();
};

struct CaptureCounts {
    std::uint64_t created = 0;
    std::uint64_t updated = 0;
    std::uint64_t removed = 0;
    // For each created manifest, one per profile plus one per module of that profile.
    std::uint64_t asset_references = 0;

    bool operator==(const CaptureCounts&) const = default;
};

// The whole archive as capture leaves it, every machine's manifests included, for the stages
// after it that would otherwise read every manifest again.
struct ArchiveContents {
    std::uint64_t manifests = 0;
    // The manifests of this machine recorded under another operating-system name, counted by
    // name.
    std::map<std::string, std::uint64_t> other_os_manifests;
    // The objects that the manifests refer to (manifest::referenced_objects).
    std::set<store::ObjectId> references;
    // Whether the walk over the archive saw what an interrupted write or removal may have left
    // (manifest::ManifestWalk); what capture itself writes and removes is complete when it
    // returns.
    bool leftovers = false;
};

// What one capture run produced.
struct CaptureResult {
    CaptureCounts counts;
    // The newest `own_limit` manifests of this machine and OS as the run leaves them (newest by
    // manifest::newer_snapshot), ordered by key as `list_manifests` reads them back, so that the
    // plan need not read the archive again; without their source_config, which only capture
    // reads.
    std::vector<manifest::SnapshotManifest> own;
    ArchiveContents archive;
};

// Brings the archive in line with the snapshots reported now:
// - a snapshot without a manifest gets one whose profiles are built from the ordinary entries
//   of this machine, their assets imported from the boot filesystem (all imports finish before
//   the manifest is saved);
// - an archived snapshot keeps its profiles; a changed descriptor replaces the recorded one,
//   and a changed subvolume rewrites the root options of every recorded command line;
// - a manifest of this machine and OS whose snapshot is not reported is removed, unless the
//   provider says that the snapshot still exists unlisted (the Btrfs provider's listing only
//   covers snapshots of the subvolume mounted at "/": after a rollback the same snapshots exist
//   but are no longer listed);
// - every reported snapshot gets its fragment.conf rendered, and a missing or stale source.conf
//   rewritten; files that already hold the right text are not rewritten.
// Manifests of other machines or OS names are never touched. Nothing changes when a snapshot
// belongs to another scope ("one reconciliation run may contain only one provider scope") or
// when new snapshots find no source entry. The archive is read one manifest at a time, every
// manifest once and before anything changes, so that a bad manifest also changes nothing, nor
// does a directory below snapshots/ that group or others can write (refused with the message of
// base::check_private_directory as the walk opens it, before anything in it is read); what
// capture holds grows with `own_limit` and with the archived manifests whose files are written
// again, not with the archive. Any other error ends the run: the files of the
// snapshots handled before the failing one are still written, those of the failing snapshot
// are not.
// Imports consult and extend `hashes`, the run's record of what it has read, so that the boot
// assets every new snapshot shares are hashed once and the stages after capture need not hash
// the archived objects again.
[[nodiscard]] CaptureResult capture_archive(const CaptureInputs& inputs, store::HashCache& hashes);

}  // namespace snapwright::generation
