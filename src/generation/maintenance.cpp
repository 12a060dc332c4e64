#include "generation/maintenance.hpp"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/directory_chain.hpp"
#include "base/paths.hpp"
#include "base/shared_clusters.hpp"
#include "base/system_paths.hpp"
#include "manifest/legacy_migration.hpp"
#include "manifest/manifest_store.hpp"
#include "store/object_walk.hpp"
#include "system/top_level_mount.hpp"

namespace snapwright::generation {
namespace {

// Says that `path` stays, and why, once per path: a run clears leftovers twice.
void warn_keeping(const fs::path& path, std::string_view why) {
    static std::set<fs::path> warned;
    if (!warned.insert(path).second) {
        return;
    }
    const std::string warning = "snapwright: warning: keeping " + base::display_path(path) + ", " +
                                std::string(why) + "; check the boot filesystem with fsck.vfat\n";
    std::fputs(warning.c_str(), stderr);
    std::fflush(stderr);
}

// Whether the entry temporary `name` must stay because it may share its clusters with the entry
// it was replacing: unlinking it could free the clusters under the live entry.
bool keep_shared_temporary(const fs::path& entry_directory, int directory, const std::string& name,
                           std::string_view target) {
    if (base::first_cluster_sharing(directory, name, std::string(target)) ==
        base::ClusterSharing::Separate) {
        return false;
    }
    warn_keeping(entry_directory / name,
                 "which may share its clusters with " +
                     base::display_path(entry_directory / std::string(target)));
    return true;
}

// Directories left by an interrupted creation, which stay where removing them could harm.
void warn_keeping_directories(const std::vector<fs::path>& left) {
    for (const fs::path& path : left) {
        warn_keeping(path, "left by an interrupted run");
    }
}

}  // namespace

void remove_interrupted_leftovers(const fs::path& entry_directory, const fs::path& archive_root,
                                  const fs::path& boot_data_root, std::string_view machine_id,
                                  const fs::path& runtime_directory, SnapshotLeftovers snapshots) {
    const std::string own_prefix = std::string(base::kEntryPrefix) + std::string(machine_id) + "-";
    (void)base::remove_temporaries(
        entry_directory,
        [&](std::string_view target) {
            return target.starts_with(own_prefix) && target.ends_with(".conf");
        },
        [&](int directory, const std::string& name, std::string_view target) {
            return keep_shared_temporary(entry_directory, directory, name, target);
        });
    if (snapshots == SnapshotLeftovers::Possible) {
        manifest::remove_snapshot_leftovers(archive_root);
    }
    (void)store::remove_object_temporaries(boot_data_root);
    warn_keeping_directories(store::remove_directory_leftovers(boot_data_root));
    system::remove_abandoned_mount_points(runtime_directory);
}

void make_boot_data_chain(const fs::path& boot_root, const fs::path& boot_data_relative) {
    warn_keeping_directories(base::remove_chain_temporaries(boot_root, boot_data_relative));
    base::ensure_directory(boot_root, boot_data_relative, base::NewDirectory::Renamed);
}

store::GarbageCollection collect_boot_store(const fs::path& boot_data_root,
                                            std::set<store::ObjectId> entry_references) {
    entry_references.merge(manifest::legacy_referenced_objects(boot_data_root));
    return store::collect_garbage(boot_data_root, entry_references);
}

}  // namespace snapwright::generation
