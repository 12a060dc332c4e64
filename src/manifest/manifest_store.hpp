#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/atomic_file.hpp"
#include "manifest/schema.hpp"
#include "provider/snapshot.hpp"

namespace snapwright::manifest {

namespace fs = std::filesystem;

// The archive layout under a manifest root R (the archive root, or the boot data root of the
// older layout):
//   R/snapshots/<filesystem UUID>/<provider>/<instance>/<snapshot ID>/
//       manifest.json   the SnapshotManifest document
//       source.conf     the source entry text, ending with a newline
//       fragment.conf   the generated entry texts of the snapshot, ending with a newline
// These operations are the only code that touches those files. Every file is replaced
// atomically with permission bits 0600; the writers take an optional batch, in which case the
// new content is only staged there and lands when the caller commits the batch.

inline constexpr const char* kSnapshotsDirectory = "snapshots";
inline constexpr const char* kManifestFile = "manifest.json";
inline constexpr const char* kSourceConfigFile = "source.conf";
inline constexpr const char* kFragmentFile = "fragment.conf";

// R/snapshots/U/P/I/S. Each key component must be 1 to 128 bytes of A-Z, a-z, 0-9, ".", "-"
// and "_", and not "." or "..": else "invalid {} path component: {}" with the label
// ("filesystem UUID", "provider", "provider instance", "snapshot ID") of the first bad one.
[[nodiscard]] fs::path snapshot_directory(const fs::path& root, const provider::SnapshotKey& key);

// The text source.conf holds for `source_config`: the text with a newline added unless it
// already ends with one (an empty text gives a single newline).
[[nodiscard]] std::string source_config_file_text(std::string_view source_config);

// Writes manifest.json, then source.conf, creating the snapshot directory chain (symbolic links
// on the way are refused). Refuses a schema other than 1 ("cannot save unsupported manifest
// schema {}"). A failure while writing source.conf leaves the new manifest.json in place.
void save_manifest(const fs::path& root, const SnapshotManifest& manifest,
                   base::AtomicWriteBatch* batch = nullptr);

// Reads the manifest of `key`. A regular source.conf beside it replaces `source_config`. Throws
// the I/O error of an unreadable file, "JSON operation failed" for a bad document, "unsupported
// manifest schema {}", or "manifest key does not match its storage path".
[[nodiscard]] SnapshotManifest load_manifest(const fs::path& root,
                                             const provider::SnapshotKey& key);

// Every manifest under R/snapshots (none when it is not a directory), sorted by key, each
// component compared as bytes. Listed manifests carry `source_config` as the JSON holds it.
// Symbolic links and files other than manifest.json are ignored; the first bad manifest fails
// the whole listing (misplaced file, invalid path component, bad document, other schema, key
// that differs from its path), so a partial list is never returned.
[[nodiscard]] std::vector<SnapshotManifest> list_manifests(const fs::path& root);

using ManifestVisitor = std::function<void(SnapshotManifest&&)>;

// The manifests of list_manifests, in its order and with its checks, handed to `visit` one at a
// time as each is read: what the visitor does not keep is gone before the next is read, so a
// caller that accumulates counts or keeps a bounded selection needs memory for one manifest,
// not for the archive. The first bad manifest throws after the visitor has seen those before
// it; a caller that must not act on a partial archive collects first (list_manifests).
void for_each_manifest(const fs::path& root, const ManifestVisitor& visit);

// What a walk of the manifests saw besides them.
struct ManifestWalk {
    // Whether some directory below R/snapshots may hold what remove_snapshot_leftovers clears: a
    // directory without a manifest below it, or a snapshot directory with names other than its
    // three files. False means there is nothing to clear.
    bool leftovers = false;
};

// A visitor that is also handed the snapshot directory of the manifest, open for the visit only.
using ListedManifestVisitor = std::function<void(SnapshotManifest&&, int snapshot_directory)>;

// for_each_manifest for a visitor that reads beside the manifest (snapshot_files_current). With
// `refuse_shared`, every directory from R/snapshots down is checked as it is opened, before
// anything in it is read, and one that group or others can write fails the walk with the
// message of base::check_private_directory.
ManifestWalk walk_manifests(const fs::path& root, const ListedManifestVisitor& visit,
                            bool refuse_shared = false);

// Writes fragment.conf of `key` (a newline is added unless the text ends with one), creating the
// snapshot directory chain. A fragment.conf that already holds exactly that text is left alone.
void write_fragment(const fs::path& root, const provider::SnapshotKey& key, std::string_view text,
                    base::AtomicWriteBatch* batch = nullptr);

// Rewrites source.conf of the manifest when it is missing or differs from what save_manifest
// would write (a run interrupted between the two files of save_manifest leaves it so). Returns
// whether it was written.
bool repair_source_config(const fs::path& root, const SnapshotManifest& manifest,
                          base::AtomicWriteBatch* batch = nullptr);

// Whether the source.conf and fragment.conf of `manifest`, in its snapshot directory open at
// `directory`, already hold what repair_source_config and write_fragment (with `fragment_text`)
// would write, so that neither has anything to do. Reads only; a file that cannot be read counts
// as not current.
[[nodiscard]] bool snapshot_files_current(int directory, const SnapshotManifest& manifest,
                                          std::string_view fragment_text);

// Removes the snapshot directory of `key` with everything in it, then every parent below
// R/snapshots that became empty (R/snapshots itself stays). manifest.json goes last, so an
// interrupted removal leaves a directory that is still listed and removed by the next run.
// Returns false when there was no such directory.
bool remove_manifest(const fs::path& root, const provider::SnapshotKey& key);

// Clears what interrupted runs left under R/snapshots: in every snapshot directory (depth four)
// the regular files whose names are the atomic writers' temporaries of manifest.json,
// source.conf or fragment.conf, then every directory below R/snapshots that is (now) empty, such
// as a snapshot directory whose removal stopped after manifest.json. Symbolic links are never
// followed or removed, other names are never touched, and R/snapshots itself stays. Failures
// are I/O errors. The caller holds the boot partition lock.
void remove_snapshot_leftovers(const fs::path& root);

}  // namespace snapwright::manifest
