// A fault injector for tests, loaded into one run of the real binary with LD_PRELOAD. It counts
// the calls that change or sync files, and makes the k-th of them fail with a chosen errno, or
// kills the process with SIGKILL just before it.
//
//   SNAPWRIGHT_FAULT_LOG   file that gets one line per counted call: "<n> <call> <path>", and
//                          the line "<n> FAULT <mode>" when the fault fires
//   SNAPWRIGHT_FAULT_AT    k (1 is the first counted call); unset or 0: count only
//   SNAPWRIGHT_FAULT_MODE  EIO (the default), ENOSPC, EACCES or KILL
//
// Counted: open/openat (and their 64-bit and fortified forms) with O_CREAT, O_TRUNC or
// O_TMPFILE, creat; write, pwrite, writev to regular files; fsync, fdatasync, syncfs; rename,
// renameat, renameat2; unlink, unlinkat, rmdir; mkdir, mkdirat; copy_file_range, sendfile;
// ftruncate; fchmod; close of a regular file that has no name left (what frees its blocks),
// logged as "close <path> (deleted)".
//
// Only the process that loaded the injector first counts: it records its process ID in
// SNAPWRIGHT_FAULT_PID, which the programs it starts inherit, so their copies stay passive. A
// re-execution of the same process resumes the count from the log.

// The fortified inline forms of open would collide with the definitions here.
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct State {
    bool initialised = false;
    pid_t owner = 0;
    unsigned long count = 0;
    unsigned long fault_at = 0;
    int fault_errno = EIO;  // 0 means SIGKILL
    const char* mode_name = "EIO";
    int log_fd = -1;
};

State state;

// Raw system calls for the injector's own bookkeeping, so that it never counts itself.
long raw_write(int fd, const char* text, size_t length) {
    return syscall(SYS_write, fd, text, length);
}

pid_t current_pid() {
    return static_cast<pid_t>(syscall(SYS_getpid));
}

void log_line(const char* text) {
    if (state.log_fd >= 0) {
        (void)raw_write(state.log_fd, text, std::strlen(text));
    }
}

// The number of lines already in the log: the count before a re-execution.
unsigned long logged_calls(const char* path) {
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (fd < 0) {
        return 0;
    }
    unsigned long lines = 0;
    char buffer[4096];
    long got = 0;
    while ((got = syscall(SYS_read, fd, buffer, sizeof buffer)) > 0) {
        for (long i = 0; i < got; ++i) {
            lines += buffer[i] == '\n' ? 1 : 0;
        }
    }
    syscall(SYS_close, fd);
    return lines;
}

void initialise() {
    if (state.initialised) {
        return;
    }
    state.initialised = true;
    const pid_t self = current_pid();
    const char* owner = std::getenv("SNAPWRIGHT_FAULT_PID");
    bool reexecuted = false;
    if (owner == nullptr) {
        char text[32];
        std::snprintf(text, sizeof text, "%d", static_cast<int>(self));
        setenv("SNAPWRIGHT_FAULT_PID", text, 1);
        state.owner = self;
    } else {
        state.owner = static_cast<pid_t>(std::atol(owner));
        reexecuted = state.owner == self;
    }
    if (state.owner != self) {
        return;
    }
    if (const char* at = std::getenv("SNAPWRIGHT_FAULT_AT")) {
        state.fault_at = std::strtoul(at, nullptr, 10);
    }
    if (const char* mode = std::getenv("SNAPWRIGHT_FAULT_MODE")) {
        static const struct {
            const char* name;
            int value;
        } modes[] = {{"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"KILL", 0}};
        for (const auto& known : modes) {
            if (std::strcmp(mode, known.name) == 0) {
                state.fault_errno = known.value;
                state.mode_name = known.name;
            }
        }
    }
    if (const char* log = std::getenv("SNAPWRIGHT_FAULT_LOG")) {
        if (reexecuted) {
            state.count = logged_calls(log);
        }
        state.log_fd = static_cast<int>(
            syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    }
}

// The path behind a descriptor, for the log.
void describe_fd(int fd, char* out, size_t size) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const long length = syscall(SYS_readlinkat, AT_FDCWD, link, out, size - 1);
    out[length > 0 ? length : 0] = '\0';
}

// Counts one call; answers true when it is to fail (errno is set then). Kills the process
// instead when that is the mode.
bool active() {
    initialise();
    return state.owner == current_pid();
}

bool fault_here(const char* call, const char* path) {
    if (!active()) {
        return false;
    }
    const int saved = errno;
    ++state.count;
    char line[4200];
    std::snprintf(line, sizeof line, "%lu %s %s\n", state.count, call, path ? path : "-");
    log_line(line);
    if (state.count != state.fault_at) {
        errno = saved;
        return false;
    }
    std::snprintf(line, sizeof line, "%lu FAULT %s\n", state.count, state.mode_name);
    log_line(line);
    if (state.fault_errno == 0) {
        syscall(SYS_kill, current_pid(), SIGKILL);
    }
    errno = state.fault_errno;
    return true;
}

bool fault_on_fd(const char* call, int fd) {
    if (!active()) {
        return false;
    }
    char path[4096];
    describe_fd(fd, path, sizeof path);
    return fault_here(call, path);
}

// Writes count only when they go to a regular file: output to pipes and terminals is not a
// change of the filesystem.
bool fault_on_write(const char* call, int fd) {
    struct stat st {};
    if (!active() || syscall(SYS_fstat, fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    return fault_on_fd(call, fd);
}

bool changes_files(int flags) {
    return (flags & (O_CREAT | O_TRUNC)) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

mode_t mode_argument(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(arguments, int))
               : 0;
}

}  // namespace

#define REAL(name, type) static const auto real = next<type>(name)

extern "C" {

__attribute__((constructor)) static void snapwright_fault_load() {
    initialise();
}

// The opening calls take their mode from the variable arguments, where O_CREAT or O_TMPFILE
// says there is one.
#define INTERCEPT_OPEN(name, parameters, arguments)            \
    int name parameters {                                      \
        va_list rest;                                          \
        va_start(rest, flags);                                 \
        const mode_t mode = mode_argument(flags, rest);        \
        va_end(rest);                                          \
        REAL(#name, int(*) parameters);                        \
        if (changes_files(flags) && fault_here(#name, path)) { \
            return -1;                                         \
        }                                                      \
        return real arguments;                                 \
    }
INTERCEPT_OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
INTERCEPT_OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
INTERCEPT_OPEN(openat, (int directory, const char* path, int flags, ...),
               (directory, path, flags, mode))
INTERCEPT_OPEN(openat64, (int directory, const char* path, int flags, ...),
               (directory, path, flags, mode))

// One wrapper: the call fails with -1 when `fails`, an expression of the parameters and of
// `call` (the function's name), says so, and goes on to the next definition otherwise.
#define INTERCEPT(result, name, parameters, arguments, fails) \
    result name parameters {                                  \
        [[maybe_unused]] constexpr const char* call = #name;  \
        REAL(#name, result(*) parameters);                    \
        if (fails) {                                          \
            return -1;                                        \
        }                                                     \
        return real arguments;                                \
    }

// The fortified forms take no mode: they are used only without O_CREAT.
INTERCEPT(int, __open_2, (const char* path, int flags), (path, flags),
          changes_files(flags) && fault_here(call, path))
INTERCEPT(int, __open64_2, (const char* path, int flags), (path, flags),
          changes_files(flags) && fault_here(call, path))
INTERCEPT(int, __openat_2, (int directory, const char* path, int flags), (directory, path, flags),
          changes_files(flags) && fault_here(call, path))
INTERCEPT(int, __openat64_2, (int directory, const char* path, int flags), (directory, path, flags),
          changes_files(flags) && fault_here(call, path))
INTERCEPT(int, creat, (const char* path, mode_t mode), (path, mode), fault_here(call, path))
INTERCEPT(int, creat64, (const char* path, mode_t mode), (path, mode), fault_here(call, path))

INTERCEPT(ssize_t, write, (int fd, const void* buffer, size_t count), (fd, buffer, count),
          fault_on_write(call, fd))
INTERCEPT(ssize_t, pwrite, (int fd, const void* buffer, size_t count, off_t offset),
          (fd, buffer, count, offset), fault_on_write(call, fd))
INTERCEPT(ssize_t, pwrite64, (int fd, const void* buffer, size_t count, off_t offset),
          (fd, buffer, count, offset), fault_on_write(call, fd))
INTERCEPT(ssize_t, writev, (int fd, const struct iovec* vector, int count), (fd, vector, count),
          fault_on_write(call, fd))

INTERCEPT(int, fsync, (int fd), (fd), fault_on_fd(call, fd))
INTERCEPT(int, fdatasync, (int fd), (fd), fault_on_fd(call, fd))
INTERCEPT(int, syncfs, (int fd), (fd), fault_on_fd(call, fd))
INTERCEPT(int, fchmod, (int fd, mode_t mode), (fd, mode), fault_on_fd(call, fd))
// The last close of an unlinked or replaced file is what gives its blocks back; other closes
// change nothing on disk and are not counted.
static bool frees_blocks(int fd) {
    struct stat st {};
    return active() && syscall(SYS_fstat, fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0;
}
INTERCEPT(int, close, (int fd), (fd), frees_blocks(fd) && fault_on_fd(call, fd))
INTERCEPT(int, ftruncate, (int fd, off_t length), (fd, length), fault_on_fd(call, fd))
INTERCEPT(int, ftruncate64, (int fd, off_t length), (fd, length), fault_on_fd(call, fd))

INTERCEPT(int, rename, (const char* from, const char* to), (from, to), fault_here(call, to))
INTERCEPT(int, renameat, (int from_directory, const char* from, int to_directory, const char* to),
          (from_directory, from, to_directory, to), fault_here(call, to))
INTERCEPT(int, renameat2,
          (int from_directory, const char* from, int to_directory, const char* to, unsigned flags),
          (from_directory, from, to_directory, to, flags), fault_here(call, to))

INTERCEPT(int, unlink, (const char* path), (path), fault_here(call, path))
INTERCEPT(int, rmdir, (const char* path), (path), fault_here(call, path))
INTERCEPT(int, unlinkat, (int directory, const char* path, int flags), (directory, path, flags),
          fault_here(call, path))
INTERCEPT(int, mkdir, (const char* path, mode_t mode), (path, mode), fault_here(call, path))
INTERCEPT(int, mkdirat, (int directory, const char* path, mode_t mode), (directory, path, mode),
          fault_here(call, path))

INTERCEPT(ssize_t, copy_file_range,
          (int in, off_t* in_offset, int out, off_t* out_offset, size_t length, unsigned flags),
          (in, in_offset, out, out_offset, length, flags), fault_on_fd(call, out))
INTERCEPT(ssize_t, sendfile, (int out, int in, off_t* offset, size_t count),
          (out, in, offset, count), fault_on_write(call, out))
INTERCEPT(ssize_t, sendfile64, (int out, int in, off_t* offset, size_t count),
          (out, in, offset, count), fault_on_write(call, out))

}  // extern "C"
