#include "system/top_level_mount.hpp"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

#include "base/app_error.hpp"
#include "base/system_paths.hpp"
#include "base/text.hpp"
#include "store/fs_routines.hpp"
#include "system/process.hpp"

namespace snapwright::system {
namespace {

bool is_valid_machine_id(const std::string& machine_id) {
    if (machine_id.size() != 32) {
        return false;
    }
    for (const char c : machine_id) {
        if (!base::is_ascii_hex_digit(c)) {
            return false;
        }
    }
    return true;
}

// A mount made in a private namespace dies with the namespace, that is with the last process
// in it; the slave propagation keeps host mounts (an automounted boot partition, say) visible.
void enter_private_mount_namespace() {
    if (::unshare(CLONE_NEWNS) != 0) {
        base::throw_os_error("create a private mount namespace", errno);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) {
        base::throw_os_error("make the private mount namespace a slave of the host", errno);
    }
}

// The process ID in a mount point name "top-level-<32 hex digits>-<decimal pid>".
std::optional<pid_t> mount_point_owner(std::string_view name) {
    constexpr std::string_view prefix = "top-level-";
    if (!name.starts_with(prefix) || name.size() < prefix.size() + 34 ||
        !is_valid_machine_id(std::string(name.substr(prefix.size(), 32))) ||
        name[prefix.size() + 32] != '-') {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(prefix.size() + 33);
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0 ||
        digits.front() == '0') {
        return std::nullopt;
    }
    return pid;
}

}  // namespace

void remove_abandoned_mount_points(const std::filesystem::path& runtime_directory) {
    struct stat runtime {};
    if (::lstat(runtime_directory.c_str(), &runtime) != 0 || !S_ISDIR(runtime.st_mode)) {
        return;
    }
    std::error_code error;
    std::filesystem::directory_iterator it(runtime_directory, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::optional<pid_t> owner = mount_point_owner(it->path().filename().native());
        // A process that still exists (or cannot be asked) may still be using it.
        if (!owner || ::kill(*owner, 0) == 0 || errno != ESRCH) {
            continue;
        }
        struct stat status {};
        if (::lstat(it->path().c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_dev != runtime.st_dev) {
            continue;
        }
        // rmdir takes only an empty directory and never a mount point of this namespace.
        if (::rmdir(it->path().c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST &&
            errno != EBUSY && errno != ENOENT) {
            base::throw_io_error(errno);
        }
    }
    if (error) {
        base::throw_io_error(error.value());
    }
}

TopLevelMount::~TopLevelMount() {
    if (mount_point_.empty()) {
        return;
    }
    run_inherited("umount", {mount_point_.native()});
    // rmdir removes only an empty directory, so a mount still in place is never touched.
    (void)::rmdir(mount_point_.c_str());
}

bool is_valid_filesystem_uuid(const std::string& uuid) {
    if (uuid.empty() || uuid.size() > 128) {
        return false;
    }
    for (const char c : uuid) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

TopLevelMount mount_top_level(const std::string& filesystem_uuid, const std::string& machine_id) {
    if (!is_valid_filesystem_uuid(filesystem_uuid)) {
        base::throw_error("invalid Btrfs filesystem UUID");
    }
    if (!is_valid_machine_id(machine_id)) {
        base::throw_error("invalid machine-id for Btrfs mount");
    }
    enter_private_mount_namespace();

    const std::filesystem::path runtime =
        store::ensure_directory(base::kRunRoot, base::kRuntimeDirectoryName);
    const std::string name = "top-level-" + machine_id + "-" + std::to_string(::getpid());
    const std::filesystem::path mount_point = store::ensure_directory(runtime, name);

    const CommandOutput output = run_captured(
        "mount",
        {"-t", "btrfs", "-o", "ro,subvolid=5", "UUID=" + filesystem_uuid, mount_point.native()},
        "execute mount");
    if (!output.success()) {
        (void)::rmdir(mount_point.c_str());
        base::throw_error(failure_message("mount Btrfs top-level subvolume failed: ", output));
    }
    return TopLevelMount(mount_point);
}

void release_top_level(TopLevelMount mount) {
    (void)mount;
}

}  // namespace snapwright::system
