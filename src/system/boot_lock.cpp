#include "system/boot_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/system_paths.hpp"

namespace snapwright::system {
namespace {

constexpr std::chrono::milliseconds kPollInterval{100};
constexpr std::chrono::seconds kLockTimeout{30};

// The lock directory is world-writable, so whatever sits at the lock path may have been put
// there by another user: never follow a link, never block opening a FIFO, and accept only a
// regular file that root owns.
base::UniqueFd open_lock_file(const std::filesystem::path& lock_path) {
    const std::string shown = base::display_path(lock_path);
    base::UniqueFd fd(
        ::open(lock_path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd) {
        base::throw_os_error("open " + shown, errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        base::throw_os_error("open " + shown, errno);
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != 0) {
        base::throw_error("lock file is not a regular file owned by root: " + shown);
    }
    return fd;
}

}  // namespace

BootLock::~BootLock() {
    if (fd_) {
        (void)::flock(fd_.get(), LOCK_UN);
    }
}

std::optional<BootLock> acquire_lock_file(const std::filesystem::path& lock_path,
                                          std::chrono::milliseconds timeout,
                                          const GiveUpCheck& give_up) {
    base::UniqueFd fd = open_lock_file(lock_path);
    // Polling rather than a blocking flock keeps the deadline; the monotonic clock keeps it
    // immune to changes of the wall clock.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (give_up && give_up()) {
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            base::throw_error("timed out waiting for " + base::display_path(lock_path));
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return BootLock(std::move(fd));
}

BootLock acquire_lock_file(const std::filesystem::path& lock_path,
                           std::chrono::milliseconds timeout) {
    return std::move(*acquire_lock_file(lock_path, timeout, GiveUpCheck{}));
}

namespace {

void ensure_lock_directory() {
    std::error_code error;
    std::filesystem::create_directories(base::kLockDirectory, error);
    if (error) {
        base::throw_io_error(error.value());
    }
}

}  // namespace

BootLock acquire_boot_lock() {
    ensure_lock_directory();
    return acquire_lock_file(base::kBootLockPath, kLockTimeout);
}

std::optional<BootLock> acquire_boot_lock(const GiveUpCheck& give_up) {
    ensure_lock_directory();
    return acquire_lock_file(base::kBootLockPath, kLockTimeout, give_up);
}

void release_boot_lock(BootLock lock) {
    (void)lock;
}

}  // namespace snapwright::system
