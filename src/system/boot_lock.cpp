#include "system/boot_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/system_paths.hpp"

namespace snapwright::system {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kPollInterval{100};
constexpr std::chrono::milliseconds kLockWaitLimit{30000};
constexpr const char* kTestLimitVariable = "SNAPWRIGHT_TEST_LOCK_LIMIT_MS";
// A round of opening, and replacing what must go, ends with the file unless someone else
// changed the name meanwhile; a name that keeps changing is refused like one that cannot be
// replaced.
constexpr int kOpenRounds = 16;

enum class Mode { Exclusive, Shared };

bool is_lock_file(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_uid == 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where the lock file lives: everything below is done relative to this descriptor, so that
// the name is judged and replaced in the one directory it was found in.
struct LockPlace {
    base::UniqueFd directory;
    std::string name;
    std::string shown;
};

std::optional<LockPlace> open_place(const fs::path& lock_path, Mode mode) {
    LockPlace place{base::UniqueFd{}, lock_path.filename().string(), base::display_path(lock_path)};
    const fs::path parent = lock_path.has_parent_path() ? lock_path.parent_path() : ".";
    place.directory = base::UniqueFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!place.directory) {
        if (mode == Mode::Shared && errno == ENOENT) {
            return std::nullopt;
        }
        base::throw_os_error("open " + place.shown, errno);
    }
    return place;
}

// The lock directory is world-writable, so whatever sits at the name may have been put there
// by another user: it is never followed, a FIFO never blocks the open, and only a regular
// file that root owns is used. A writer removes anything else (root may, despite the sticky
// bit) and creates the file itself, exclusively; a reader leaves it and goes without.
base::UniqueFd open_for_writer(const LockPlace& place) {
    const int directory = place.directory.get();
    const char* name = place.name.c_str();
    for (int round = 0; round < kOpenRounds; ++round) {
        // The usual case, an existing lock file or none, is this one open.
        base::UniqueFd fd(::openat(directory, name,
                                   O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        struct stat found {};
        if (fd) {
            if (::fstat(fd.get(), &found) != 0) {
                base::throw_os_error("open " + place.shown, errno);
            }
            if (is_lock_file(found)) {
                return fd;
            }
        } else {
            // A link (ELOOP), a FIFO without a reader (ENXIO), a directory (EISDIR), or another
            // user's file or FIFO where the kernel protects those (EACCES).
            const int error = errno;
            if (error != ELOOP && error != ENXIO && error != EISDIR && error != EACCES) {
                base::throw_os_error("open " + place.shown, error);
            }
            if (::fstatat(directory, name, &found, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) {
                    continue;
                }
                base::throw_os_error("open " + place.shown, errno);
            }
            if (is_lock_file(found)) {
                base::throw_os_error("open " + place.shown, error);
            }
        }
        fd.reset();
        const int flags = S_ISDIR(found.st_mode) ? AT_REMOVEDIR : 0;
        if (::unlinkat(directory, name, flags) != 0 && errno != ENOENT) {
            break;
        }
        base::UniqueFd created(
            ::openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (created) {
            return created;
        }
        if (errno != EEXIST) {
            base::throw_os_error("open " + place.shown, errno);
        }
    }
    base::throw_error("lock file is not a regular file owned by root: " + place.shown);
}

// Nothing where there is no lock file that a writer could hold, or this user may not open it.
std::optional<base::UniqueFd> open_for_reader(const LockPlace& place) {
    const int directory = place.directory.get();
    const char* name = place.name.c_str();
    for (int round = 0; round < kOpenRounds; ++round) {
        struct stat found {};
        if (::fstatat(directory, name, &found, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                return std::nullopt;
            }
            base::throw_os_error("open " + place.shown, errno);
        }
        if (!is_lock_file(found)) {
            // Not what any writer locks: a writer replaces it before it takes the lock.
            return std::nullopt;
        }
        base::UniqueFd fd(
            ::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd) {
            if (errno == EACCES) {
                return std::nullopt;
            }
            // The name changed between the look and the open.
            if (errno == ENOENT || errno == ELOOP || errno == ENXIO) {
                continue;
            }
            base::throw_os_error("open " + place.shown, errno);
        }
        struct stat opened {};
        if (::fstat(fd.get(), &opened) != 0) {
            base::throw_os_error("open " + place.shown, errno);
        }
        if (is_lock_file(opened) && same_file(found, opened)) {
            return fd;
        }
    }
    return std::nullopt;
}

std::optional<base::UniqueFd> open_lock_file(const LockPlace& place, Mode mode) {
    if (mode == Mode::Shared) {
        return open_for_reader(place);
    }
    return open_for_writer(place);
}

// After the flock: whether the name still leads to the locked file. A writer that replaced
// the file meanwhile made this lock one that nobody else will look for.
bool still_named(const LockPlace& place, int fd) {
    struct stat named {};
    struct stat locked {};
    if (::fstatat(place.directory.get(), place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        base::throw_os_error("open " + place.shown, errno);
    }
    if (::fstat(fd, &locked) != 0) {
        base::throw_os_error("open " + place.shown, errno);
    }
    return same_file(named, locked);
}

struct Wait {
    Mode mode = Mode::Exclusive;
    std::optional<std::chrono::milliseconds> timeout;
    const GiveUpCheck* give_up = nullptr;
};

// Nothing when the waiter gave up, or for a reader that found no lock file it could use.
std::optional<BootLock> acquire(const fs::path& lock_path, const Wait& wait) {
    std::optional<LockPlace> place = open_place(lock_path, wait.mode);
    if (!place) {
        return std::nullopt;
    }
    // Polling rather than a blocking flock keeps the deadline; the monotonic clock keeps it
    // immune to changes of the wall clock.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (wait.timeout) {
        deadline = std::chrono::steady_clock::now() + *wait.timeout;
    }
    const int operation = (wait.mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    for (;;) {
        std::optional<base::UniqueFd> fd = open_lock_file(*place, wait.mode);
        if (!fd) {
            return std::nullopt;
        }
        while (::flock(fd->get(), operation) != 0) {
            if (wait.give_up != nullptr && *wait.give_up && (*wait.give_up)()) {
                return std::nullopt;
            }
            if (deadline && std::chrono::steady_clock::now() >= *deadline) {
                base::throw_error("timed out waiting for " + place->shown);
            }
            std::this_thread::sleep_for(kPollInterval);
        }
        if (still_named(*place, fd->get())) {
            return BootLock(std::move(*fd));
        }
    }
}

void ensure_lock_directory() {
    std::error_code error;
    std::filesystem::create_directories(base::kLockDirectory, error);
    if (error) {
        base::throw_io_error(error.value());
    }
}

}  // namespace

std::chrono::milliseconds lock_wait_limit() {
    const char* text = std::getenv(kTestLimitVariable);
    if (text == nullptr || *text == '\0') {
        return kLockWaitLimit;
    }
    std::chrono::milliseconds::rep value = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return kLockWaitLimit;
        }
        value = value * 10 + (*digit - '0');
        if (value >= kLockWaitLimit.count()) {
            return kLockWaitLimit;
        }
    }
    return std::chrono::milliseconds(value);
}

BootLock::~BootLock() {
    if (fd_) {
        (void)::flock(fd_.get(), LOCK_UN);
    }
}

std::optional<BootLock> acquire_lock_file(const fs::path& lock_path,
                                          std::optional<std::chrono::milliseconds> timeout,
                                          const GiveUpCheck& give_up) {
    return acquire(lock_path,
                   Wait{.mode = Mode::Exclusive, .timeout = timeout, .give_up = &give_up});
}

BootLock acquire_lock_file(const fs::path& lock_path, std::chrono::milliseconds timeout) {
    return std::move(*acquire(lock_path, Wait{.mode = Mode::Exclusive, .timeout = timeout}));
}

std::optional<BootLock> acquire_shared_lock_file(const fs::path& lock_path,
                                                 std::chrono::milliseconds timeout) {
    return acquire(lock_path, Wait{.mode = Mode::Shared, .timeout = timeout});
}

BootLock acquire_boot_lock() {
    ensure_lock_directory();
    return acquire_lock_file(base::kBootLockPath, lock_wait_limit());
}

std::optional<BootLock> acquire_boot_lock(const GiveUpCheck& give_up) {
    ensure_lock_directory();
    return acquire_lock_file(base::kBootLockPath, std::nullopt, give_up);
}

std::optional<BootLock> acquire_shared_boot_lock() {
    return acquire_shared_lock_file(base::kBootLockPath, lock_wait_limit());
}

void release_boot_lock(BootLock lock) {
    (void)lock;
}

}  // namespace snapwright::system
