#pragma once

#include <filesystem>
#include <string>

namespace snapwright::system {

// The top level (subvolume ID 5) of a Btrfs filesystem mounted read-only at a private mount
// point, "/run/snapwright/top-level-<machine id>-<pid>". Destruction (or release_top_level)
// unmounts it and removes the then empty mount point, ignoring every failure. Move-only.
//
// Callers that also hold the BootLock must destroy the TopLevelMount first: declare the lock
// before the mount, so the mount is gone before another process may take the lock.
class TopLevelMount {
  public:
    explicit TopLevelMount(std::filesystem::path mount_point)
        : mount_point_(std::move(mount_point)) {}
    TopLevelMount(TopLevelMount&& other) noexcept : mount_point_(std::move(other.mount_point_)) {
        other.mount_point_.clear();
    }
    TopLevelMount& operator=(TopLevelMount&&) = delete;
    TopLevelMount(const TopLevelMount&) = delete;
    ~TopLevelMount();

    const std::filesystem::path& mount_point() const { return mount_point_; }

  private:
    std::filesystem::path mount_point_;
};

// Whether `uuid` may be passed to mount: 1 to 128 ASCII letters, digits, "-", "." or "_".
bool is_valid_filesystem_uuid(const std::string& uuid);

// Mounts the top level of the Btrfs filesystem `filesystem_uuid`. Before mounting, the process
// moves into a mount namespace of its own whose mounts receive the host's but never propagate
// back, so the kernel drops the mount even if the process dies without releasing it; all later
// children of the process share that namespace. Fails, before touching anything, with "invalid
// Btrfs filesystem UUID" or "invalid machine-id for Btrfs mount"; then with the namespace
// errors, the directory errors of ensure_directory, "execute mount" with the OS error (the
// empty mount point stays), or "mount Btrfs top-level subvolume failed: {}" (the mount point is
// removed).
[[nodiscard]] TopLevelMount mount_top_level(const std::string& filesystem_uuid,
                                            const std::string& machine_id);

// Removes the mount points "top-level-<machine id>-<pid>" in `runtime_directory` whose process
// no longer exists (a killed run leaves its directory, while its mount died with its mount
// namespace): only real, empty directories on the runtime directory's own filesystem, never a
// mount point, a symbolic link or another name. Failures other than "in use" are I/O errors.
// The caller holds the boot partition lock.
void remove_abandoned_mount_points(const std::filesystem::path& runtime_directory);

// Unmounts and removes the mount point now; failures are ignored.
void release_top_level(TopLevelMount mount);

}  // namespace snapwright::system
