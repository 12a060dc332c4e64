#pragma once

#include <filesystem>
#include <set>

#include "store/object_id.hpp"

namespace snapwright::manifest {

// An older layout kept the manifests on the boot filesystem, in the same snapshots/ tree under
// the boot data root (the legacy root), with their objects in the boot store.

// Carries the older layout into the archive: every object any legacy manifest names is copied
// into the archive store (also for snapshots the archive already has), and each legacy manifest
// whose key the archive lacks is saved there (with its legacy source.conf applied) together with
// its fragment.conf when that is a regular file. Archived manifests are never overwritten, so
// running it again is harmless. A legacy snapshots path that is not a real directory is refused
// before anything is copied ("refusing to remove non-directory legacy manifest path {}"), and so
// is a directory below the archive's snapshots/ that group or others can write (the message of
// base::check_private_directory). Any
// error ends the migration; what was copied or saved stays.
void migrate_legacy_manifests(const std::filesystem::path& archive_root,
                              const std::filesystem::path& legacy_root);

// The objects every legacy manifest names; empty when the legacy root has no snapshots
// directory. The boot store must keep them for as long as the legacy tree exists, since the
// migration copies them again on every run until the tree is removed.
[[nodiscard]] std::set<store::ObjectId> legacy_referenced_objects(
    const std::filesystem::path& legacy_root);

// Deletes the legacy snapshots tree (nothing when it is absent) and syncs the legacy root; the
// boot store's objects are left alone. A file or symbolic link in its place is refused with
// "refusing to remove non-directory legacy manifest path {}". Returns whether there was a tree
// to remove.
bool remove_legacy_manifests(const std::filesystem::path& legacy_root);

}  // namespace snapwright::manifest
