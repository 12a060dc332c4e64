#include "manifest/legacy_migration.hpp"

#include <set>

#include "base/app_error.hpp"
#include "base/file_io.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"
#include "base/text_file.hpp"
#include "base/tree_removal.hpp"
#include "manifest/archive_gc.hpp"
#include "manifest/manifest_store.hpp"
#include "store/object_store.hpp"

namespace snapwright::manifest {
namespace {

namespace fs = std::filesystem;

enum class LegacyTree { Absent, Directory };

// The legacy snapshots path, inspected without following a link. Anything but a real directory
// is refused: the listing would follow a link and migrate whatever it points to, and the removal
// at the end of the run would refuse it anyway, after the boot filesystem has changed.
LegacyTree inspect_legacy_tree(const fs::path& legacy_root) {
    const fs::path path = legacy_root / kSnapshotsDirectory;
    const base::FileInfo info = base::inspect(path);
    if (info.absent()) {
        return LegacyTree::Absent;
    }
    if (!info.directory()) {
        base::throw_error("refusing to remove non-directory legacy manifest path " +
                          base::display_path(path));
    }
    return LegacyTree::Directory;
}

void migrate_fragment(const fs::path& archive_root, const fs::path& legacy_root,
                      const provider::SnapshotKey& key) {
    const fs::path fragment = snapshot_directory(legacy_root, key) / kFragmentFile;
    if (base::kind_or_absent(fragment) != base::FileKind::Regular) {
        return;
    }
    write_fragment(archive_root, key, base::read_text_file(fragment));
}

}  // namespace

void migrate_legacy_manifests(const fs::path& archive_root, const fs::path& legacy_root) {
    if (inspect_legacy_tree(legacy_root) == LegacyTree::Absent) {
        return;
    }
    // The archive's directories are checked as they are read, before anything is written there.
    std::set<provider::SnapshotKey> archived;
    (void)walk_manifests(
        archive_root,
        [&](SnapshotManifest&& manifest, int) {
            archived.insert(std::move(manifest.snapshot.key));
        },
        /*refuse_shared=*/true);
    for (const auto& legacy : list_manifests(legacy_root)) {
        for (const auto& profile : legacy.profiles) {
            (void)store::copy_object(archive_root, legacy_root, profile.kernel.object);
            for (const auto& module : profile.modules) {
                (void)store::copy_object(archive_root, legacy_root, module.object);
            }
        }
        const provider::SnapshotKey& key = legacy.snapshot.key;
        if (archived.count(key) != 0) {
            continue;
        }
        save_manifest(archive_root, load_manifest(legacy_root, key));
        migrate_fragment(archive_root, legacy_root, key);
    }
}

std::set<store::ObjectId> legacy_referenced_objects(const fs::path& legacy_root) {
    if (base::kind_or_absent(legacy_root / kSnapshotsDirectory) != base::FileKind::Directory) {
        return {};
    }
    return stored_references(legacy_root);
}

bool remove_legacy_manifests(const fs::path& legacy_root) {
    if (inspect_legacy_tree(legacy_root) == LegacyTree::Absent) {
        return false;
    }
    base::remove_tree(legacy_root / kSnapshotsDirectory);
    base::sync_directory(legacy_root);
    return true;
}

}  // namespace snapwright::manifest
