#include "generation/store_permissions.hpp"

#include "base/private_directory.hpp"
#include "manifest/manifest_store.hpp"

namespace snapwright::generation {

void check_store_directories(const RunContext& context, SnapshotDirectories snapshots) {
    // The directories above this machine's stores are shared with other machines, whose trees
    // are theirs to keep; a writable one would still let a user swap this machine's tree.
    base::check_private_directory(context.config.archive_path);
    base::check_private_tree(
        context.archive_root,
        snapshots == SnapshotDirectories::CheckedByCapture ? manifest::kSnapshotsDirectory : "");
    base::check_private_directory(context.boot_root / context.config.data_directory);
    base::check_private_tree(context.boot_data_root);
}

}  // namespace snapwright::generation
