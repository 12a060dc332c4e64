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

#define DEFINE_OPEN(name)                                      \
    int name(const char* path, int flags, ...) {               \
        va_list arguments;                                     \
        va_start(arguments, flags);                            \
        const mode_t mode = mode_argument(flags, arguments);   \
        va_end(arguments);                                     \
        REAL(#name, int (*)(const char*, int, ...));           \
        if (changes_files(flags) && fault_here(#name, path)) { \
            return -1;                                         \
        }                                                      \
        return real(path, flags, mode);                        \
    }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)

#define DEFINE_OPENAT(name)                                     \
    int name(int directory, const char* path, int flags, ...) { \
        va_list arguments;                                      \
        va_start(arguments, flags);                             \
        const mode_t mode = mode_argument(flags, arguments);    \
        va_end(arguments);                                      \
        REAL(#name, int (*)(int, const char*, int, ...));       \
        if (changes_files(flags) && fault_here(#name, path)) {  \
            return -1;                                          \
        }                                                       \
        return real(directory, path, flags, mode);              \
    }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

// The fortified forms take no mode: they are used only without O_CREAT.
#define DEFINE_OPEN_2(name)                                    \
    int name(const char* path, int flags) {                    \
        REAL(#name, int (*)(const char*, int));                \
        if (changes_files(flags) && fault_here(#name, path)) { \
            return -1;                                         \
        }                                                      \
        return real(path, flags);                              \
    }
DEFINE_OPEN_2(__open_2)
DEFINE_OPEN_2(__open64_2)

#define DEFINE_OPENAT_2(name)                                  \
    int name(int directory, const char* path, int flags) {     \
        REAL(#name, int (*)(int, const char*, int));           \
        if (changes_files(flags) && fault_here(#name, path)) { \
            return -1;                                         \
        }                                                      \
        return real(directory, path, flags);                   \
    }
DEFINE_OPENAT_2(__openat_2)
DEFINE_OPENAT_2(__openat64_2)

#define DEFINE_CREAT(name)                         \
    int name(const char* path, mode_t mode) {      \
        REAL(#name, int (*)(const char*, mode_t)); \
        if (fault_here(#name, path)) {             \
            return -1;                             \
        }                                          \
        return real(path, mode);                   \
    }
DEFINE_CREAT(creat)
DEFINE_CREAT(creat64)

ssize_t write(int fd, const void* buffer, size_t count) {
    REAL("write", ssize_t(*)(int, const void*, size_t));
    if (fault_on_write("write", fd)) {
        return -1;
    }
    return real(fd, buffer, count);
}

#define DEFINE_PWRITE(name)                                                \
    ssize_t name(int fd, const void* buffer, size_t count, off_t offset) { \
        REAL(#name, ssize_t (*)(int, const void*, size_t, off_t));         \
        if (fault_on_write(#name, fd)) {                                   \
            return -1;                                                     \
        }                                                                  \
        return real(fd, buffer, count, offset);                            \
    }
DEFINE_PWRITE(pwrite)
DEFINE_PWRITE(pwrite64)

ssize_t writev(int fd, const struct iovec* vector, int count) {
    REAL("writev", ssize_t(*)(int, const struct iovec*, int));
    if (fault_on_write("writev", fd)) {
        return -1;
    }
    return real(fd, vector, count);
}

#define DEFINE_FD_CALL(name)          \
    int name(int fd) {                \
        REAL(#name, int (*)(int));    \
        if (fault_on_fd(#name, fd)) { \
            return -1;                \
        }                             \
        return real(fd);              \
    }
DEFINE_FD_CALL(fsync)
DEFINE_FD_CALL(fdatasync)
DEFINE_FD_CALL(syncfs)

int fchmod(int fd, mode_t mode) {
    REAL("fchmod", int (*)(int, mode_t));
    if (fault_on_fd("fchmod", fd)) {
        return -1;
    }
    return real(fd, mode);
}

// The last close of an unlinked or replaced file is what gives its blocks back; other closes
// change nothing on disk and are not counted.
int close(int fd) {
    REAL("close", int (*)(int));
    struct stat st {};
    if (active() && syscall(SYS_fstat, fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0 &&
        fault_on_fd("close", fd)) {
        return -1;
    }
    return real(fd);
}

#define DEFINE_FTRUNCATE(name)            \
    int name(int fd, off_t length) {      \
        REAL(#name, int (*)(int, off_t)); \
        if (fault_on_fd(#name, fd)) {     \
            return -1;                    \
        }                                 \
        return real(fd, length);          \
    }
DEFINE_FTRUNCATE(ftruncate)
DEFINE_FTRUNCATE(ftruncate64)

int rename(const char* from, const char* to) {
    REAL("rename", int (*)(const char*, const char*));
    if (fault_here("rename", to)) {
        return -1;
    }
    return real(from, to);
}

int renameat(int from_directory, const char* from, int to_directory, const char* to) {
    REAL("renameat", int (*)(int, const char*, int, const char*));
    if (fault_here("renameat", to)) {
        return -1;
    }
    return real(from_directory, from, to_directory, to);
}

int renameat2(int from_directory, const char* from, int to_directory, const char* to,
              unsigned flags) {
    REAL("renameat2", int (*)(int, const char*, int, const char*, unsigned));
    if (fault_here("renameat2", to)) {
        return -1;
    }
    return real(from_directory, from, to_directory, to, flags);
}

#define DEFINE_PATH_CALL(name)             \
    int name(const char* path) {           \
        REAL(#name, int (*)(const char*)); \
        if (fault_here(#name, path)) {     \
            return -1;                     \
        }                                  \
        return real(path);                 \
    }
DEFINE_PATH_CALL(unlink)
DEFINE_PATH_CALL(rmdir)

int unlinkat(int directory, const char* path, int flags) {
    REAL("unlinkat", int (*)(int, const char*, int));
    if (fault_here("unlinkat", path)) {
        return -1;
    }
    return real(directory, path, flags);
}

int mkdir(const char* path, mode_t mode) {
    REAL("mkdir", int (*)(const char*, mode_t));
    if (fault_here("mkdir", path)) {
        return -1;
    }
    return real(path, mode);
}

int mkdirat(int directory, const char* path, mode_t mode) {
    REAL("mkdirat", int (*)(int, const char*, mode_t));
    if (fault_here("mkdirat", path)) {
        return -1;
    }
    return real(directory, path, mode);
}

ssize_t copy_file_range(int in, off_t* in_offset, int out, off_t* out_offset, size_t length,
                        unsigned flags) {
    REAL("copy_file_range", ssize_t(*)(int, off_t*, int, off_t*, size_t, unsigned));
    if (fault_on_fd("copy_file_range", out)) {
        return -1;
    }
    return real(in, in_offset, out, out_offset, length, flags);
}

#define DEFINE_SENDFILE(name)                                    \
    ssize_t name(int out, int in, off_t* offset, size_t count) { \
        REAL(#name, ssize_t (*)(int, int, off_t*, size_t));      \
        if (fault_on_write(#name, out)) {                        \
            return -1;                                           \
        }                                                        \
        return real(out, in, offset, count);                     \
    }
DEFINE_SENDFILE(sendfile)
DEFINE_SENDFILE(sendfile64)

}  // extern "C"
