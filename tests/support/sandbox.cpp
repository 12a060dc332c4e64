#include "support/sandbox.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/loop.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace snapwright::testing {
namespace {

constexpr const char* kChrootPath =
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr std::uint64_t kRootImageBytes = 256ull << 20;
constexpr std::uint64_t kBootImageBytes = 64ull << 20;
// No test program legitimately runs this long; a hung one fails its test instead of the suite.
constexpr auto kProgramTimeLimit = std::chrono::seconds(120);

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

[[noreturn]] void fail_errno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string read_whole_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("cannot read " + path.string());
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string random_uuid() {
    std::string uuid = read_whole_file("/proc/sys/kernel/random/uuid");
    while (!uuid.empty() && (uuid.back() == '\n' || uuid.back() == ' ')) {
        uuid.pop_back();
    }
    return uuid;
}

std::string hex(const unsigned char* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string random_machine_id() {
    unsigned char bytes[16];
    std::ifstream in("/dev/urandom", std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (!in) {
        fail("cannot read /dev/urandom");
    }
    return hex(bytes, sizeof bytes);
}

bool on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string entries = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    std::stringstream stream(entries);
    std::string entry;
    while (std::getline(stream, entry, ':')) {
        struct stat st {};
        if (!entry.empty() && ::stat((entry + "/" + name).c_str(), &st) == 0 &&
            S_ISREG(st.st_mode) && (st.st_mode & 0111)) {
            return true;
        }
    }
    return false;
}

bool kernel_has_filesystem(const std::string& type) {
    std::ifstream in("/proc/filesystems");
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.rfind('\t');
        if (line.substr(tab == std::string::npos ? 0 : tab + 1) == type) {
            return true;
        }
    }
    return false;
}

// The whole test process moves into its own mount namespace once, with "/" private, so that
// sandbox mounts never reach the host and vanish with the process however it ends. Nothing else
// in a test process depends on sharing mounts with the host.
std::optional<std::string> enter_private_mount_namespace() {
    static std::optional<std::string> failure = []() -> std::optional<std::string> {
        if (::unshare(CLONE_NEWNS) != 0) {
            return std::string("cannot create a private mount namespace: ") + std::strerror(errno);
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("cannot make / private: ") + std::strerror(errno);
        }
        return std::nullopt;
    }();
    return failure;
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            fail_errno("pipe");
        }
        read_end = fds[0];
        write_end = fds[1];
    }
    ~Pipe() {
        if (read_end >= 0)
            ::close(read_end);
        if (write_end >= 0)
            ::close(write_end);
    }
    int take_read_end() { return std::exchange(read_end, -1); }
};

// Starts `argv` with standard input from the null device and both output streams captured;
// inside `chroot_directory` with `envp` when one is given, else with this process's environment.
RunningProgram spawn(const std::vector<std::string>& argv, const std::vector<std::string>* envp,
                     const fs::path* chroot_directory) {
    if (argv.empty()) {
        fail("spawn: empty argument vector");
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> env;
    if (envp) {
        for (const auto& entry : *envp) {
            env.push_back(const_cast<char*>(entry.c_str()));
        }
        env.push_back(nullptr);
    }
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0) {
        fail_errno("open /dev/null");
    }
    Pipe out;
    Pipe err;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(null_fd);
        fail_errno("fork");
    }
    if (pid == 0) {
        ::dup2(null_fd, 0);
        ::dup2(out.write_end, 1);
        ::dup2(err.write_end, 2);
        if (chroot_directory) {
            if (::chroot(chroot_directory->c_str()) != 0 || ::chdir("/") != 0) {
                const char message[] = "sandbox: chroot failed\n";
                (void)!::write(2, message, sizeof message - 1);
                ::_exit(127);
            }
        }
        if (envp) {
            environ = env.data();
        }
        ::execvp(args[0], args.data());
        const std::string message =
            "sandbox: cannot execute " + argv[0] + ": " + std::strerror(errno) + "\n";
        (void)!::write(2, message.data(), message.size());
        ::_exit(127);
    }
    ::close(null_fd);
    ::close(out.write_end);
    out.write_end = -1;
    ::close(err.write_end);
    err.write_end = -1;
    return RunningProgram(pid, out.take_read_end(), err.take_read_end());
}

void make_directories(const fs::path& path, mode_t mode = 0755) {
    std::error_code error;
    fs::create_directories(path, error);
    if (error) {
        fail("mkdir " + path.string() + ": " + error.message());
    }
    ::chmod(path.c_str(), mode);
}

void make_symlink(const std::string& target, const fs::path& link) {
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        fail_errno("symlink " + link.string());
    }
}

void make_node(const fs::path& path, mode_t mode, dev_t device) {
    if (::mknod(path.c_str(), mode, device) != 0) {
        fail_errno("mknod " + path.string());
    }
}

std::string fnv1a_digest(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::uint64_t hash = 14695981039346656037ull;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            hash ^= static_cast<unsigned char>(buffer[i]);
            hash *= 1099511628211ull;
        }
    }
    std::ostringstream text;
    text << std::hex << hash;
    return text.str();
}

// Deterministic filler so that different asset files have different contents.
std::string filler_bytes(std::uint64_t size, std::string_view seed) {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (unsigned char c : seed) {
        state = (state ^ c) * 0x100000001B3ull;
    }
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<char>(state & 0xFF);
    }
    return bytes;
}

// Whether any mount point of this namespace lies at or below `directory`.
bool has_mounts_below(const fs::path& directory) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    const std::string prefix = directory.string();
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devices, root, mount_point;
        fields >> id >> parent >> devices >> root >> mount_point;
        if (mount_point == prefix || mount_point.rfind(prefix + "/", 0) == 0) {
            return true;
        }
    }
    return false;
}

// Removes a directory tree without ever leaving the filesystem it lives on, so that a mount that
// failed to go away is never emptied.
void remove_tree_on_device(int parent_fd, const char* name, dev_t device) {
    struct stat st {};
    if (::fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != device) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        const int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        std::vector<std::string> names;
        if (DIR* dir = ::fdopendir(::dup(fd))) {
            while (dirent* entry = ::readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                    names.emplace_back(entry->d_name);
                }
            }
            ::closedir(dir);
        }
        for (const auto& child : names) {
            remove_tree_on_device(fd, child.c_str(), device);
        }
        ::close(fd);
        ::unlinkat(parent_fd, name, AT_REMOVEDIR);
    } else {
        ::unlinkat(parent_fd, name, 0);
    }
}

// A loop device bound to an image with autoclear: it detaches itself when its last user (the
// mount) goes away, on every path out of the test.
struct LoopDevice {
    int number = -1;
    dev_t device = 0;
    int fd = -1;

    std::string node() const { return "/dev/loop" + std::to_string(number); }
    std::string name() const { return "loop" + std::to_string(number); }

    void close() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
};

LoopDevice attach_loop(const fs::path& image) {
    const int image_fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (image_fd < 0) {
        fail_errno("open " + image.string());
    }
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        ::close(image_fd);
        fail_errno("open /dev/loop-control");
    }
    LoopDevice loop;
    // Other processes compete for free devices; a device taken between the query and the
    // configuration answers EBUSY and the next one is tried.
    for (int attempt = 0; attempt < 64 && loop.fd < 0; ++attempt) {
        const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            break;
        }
        const std::string node = "/dev/loop" + std::to_string(number);
        struct stat st {};
        if (::stat(node.c_str(), &st) != 0) {
            // No udev here: make the node the kernel just created.
            ::mknod(node.c_str(), S_IFBLK | 0600, makedev(7, number));
        }
        const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        loop_config config{};
        config.fd = static_cast<__u32>(image_fd);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(),
                     LO_NAME_SIZE - 1);
        if (::ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
            ::fstat(fd, &st);
            loop.number = number;
            loop.device = st.st_rdev;
            loop.fd = fd;
        } else {
            ::close(fd);
        }
    }
    ::close(control);
    ::close(image_fd);
    if (loop.fd < 0) {
        fail("no free loop device for " + image.string());
    }
    return loop;
}

void create_sparse_file(const fs::path& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        fail_errno("create image " + path.string());
    }
    ::close(fd);
}

int open_directory(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail_errno("open " + path.string());
    }
    return fd;
}

}  // namespace

// ---- ProgramResult ----------------------------------------------------------------------------

std::string describe(const ProgramResult& result) {
    const std::string how =
        result.exit_code >= 0 ? "exit " + std::to_string(result.exit_code) : "killed";
    return how + "\n--- stdout ---\n" + result.out + "--- stderr ---\n" + result.err;
}

// ---- RunningProgram ---------------------------------------------------------------------------

RunningProgram::RunningProgram(pid_t pid, int out_fd, int err_fd)
    : pid_(pid), out_fd_(out_fd), err_fd_(err_fd) {}

RunningProgram::RunningProgram(RunningProgram&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_fd_(std::exchange(other.out_fd_, -1)),
      err_fd_(std::exchange(other.err_fd_, -1)),
      status_(std::exchange(other.status_, std::nullopt)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

RunningProgram::~RunningProgram() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

void RunningProgram::drain(bool until_closed) {
    const auto deadline = std::chrono::steady_clock::now() + kProgramTimeLimit;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        int timeout_ms = 0;
        if (until_closed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ::kill(pid_, SIGKILL);
                err_ += "\nsandbox: killed after the time limit\n";
                timeout_ms = -1;
            } else {
                timeout_ms = static_cast<int>(left.count());
            }
        }
        const int ready = ::poll(fds, 2, timeout_ms);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            if (!until_closed) {
                return;
            }
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            char buffer[65536];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                (i == 0 ? out_fd_ : err_fd_) = -1;
            }
        }
    }
}

bool RunningProgram::finished() {
    if (status_) {
        return true;
    }
    drain(false);
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
    }
    return status_.has_value();
}

ProgramResult RunningProgram::wait() {
    drain(true);
    if (!status_) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = status;
    }
    return ProgramResult{WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1, out_, err_};
}

std::string run_on_host(const std::vector<std::string>& argv) {
    ProgramResult result = spawn(argv, nullptr, nullptr).wait();
    if (result.exit_code != 0) {
        fail(argv[0] + " failed: " + describe(result));
    }
    return result.out;
}

// ---- Sandbox ----------------------------------------------------------------------------------

struct Sandbox::Resources {
    fs::path work;
    fs::path top;
    fs::path root;
    std::vector<fs::path> mounts;  // in the order they were made
    std::vector<LoopDevice> loops;
    std::string filesystem_uuid;
    std::string root_device;
    std::string boot_uuid;
    std::string machine_id;
    std::string root_subvolume_uuid;

    Resources(const Resources&) = delete;
    Resources() = default;

    ~Resources() {
        for (auto& loop : loops) {
            loop.close();
        }
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
            if (::umount2(it->c_str(), 0) != 0) {
                ::umount2(it->c_str(), MNT_DETACH);
            }
        }
        if (work.empty() || has_mounts_below(work)) {
            return;
        }
        struct stat st {};
        if (::lstat(work.c_str(), &st) == 0) {
            remove_tree_on_device(AT_FDCWD, work.c_str(), st.st_dev);
        }
    }

    void mount(const std::string& source, const fs::path& target, const char* type,
               unsigned long flags, const char* data = nullptr) {
        if (::mount(source.c_str(), target.c_str(), type, flags, data) != 0) {
            fail_errno("mount " + source + " on " + target.string());
        }
        mounts.push_back(target);
    }

    // proc and sysfs cannot always be mounted afresh inside a container; a recursive bind of
    // the host's serves the tools equally.
    void mount_kernel_filesystem(const char* type, const fs::path& host, const fs::path& target) {
        if (::mount(type, target.c_str(), type, MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0) {
            mounts.push_back(target);
            return;
        }
        mount(host.string(), target, nullptr, MS_BIND | MS_REC);
    }
};

std::optional<std::string> Sandbox::unavailable_reason() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        if (::geteuid() != 0) {
            return "end-to-end sandboxes need root (running as uid " + std::to_string(::geteuid()) +
                   ")";
        }
        if (::access("/dev/loop-control", R_OK | W_OK) != 0) {
            return std::string("loop devices are unavailable: /dev/loop-control: ") +
                   std::strerror(errno);
        }
        for (const char* tool : {"mkfs.btrfs", "mkfs.ext4", "btrfs", "mount", "findmnt"}) {
            if (!on_path(tool)) {
                return std::string(tool) + " is not installed";
            }
        }
        if (!kernel_has_filesystem("btrfs")) {
            return std::string("the kernel has no btrfs filesystem (module missing)");
        }
        if (!kernel_has_filesystem("ext4")) {
            return std::string("the kernel has no ext4 filesystem (module missing)");
        }
        return enter_private_mount_namespace();
    }();
    return reason;
}

Sandbox::Sandbox() : resources_(std::make_unique<Resources>()) {
    const auto started = std::chrono::steady_clock::now();
    if (auto reason = unavailable_reason()) {
        fail("sandbox unavailable: " + *reason);
    }
    Resources& r = *resources_;
    char templ[] = "/tmp/snapwright-sandbox-XXXXXX";
    if (!::mkdtemp(templ)) {
        fail_errno("mkdtemp");
    }
    r.work = templ;
    r.top = r.work / "top";
    r.root = r.work / "root";
    r.filesystem_uuid = random_uuid();
    r.boot_uuid = random_uuid();
    r.machine_id = random_machine_id();

    const fs::path root_image = r.work / "root.img";
    const fs::path boot_image = r.work / "boot.img";
    create_sparse_file(root_image, kRootImageBytes);
    create_sparse_file(boot_image, kBootImageBytes);
    // Both file systems are made at the same time; together they are most of the set-up time.
    RunningProgram mkfs_root = spawn({"mkfs.btrfs", "-q", "-K", "-U", r.filesystem_uuid, "-L",
                                      kFilesystemLabel, root_image.string()},
                                     nullptr, nullptr);
    RunningProgram mkfs_boot = spawn({"mkfs.ext4", "-q", "-F", "-O", "^has_journal", "-E",
                                      "nodiscard", "-U", r.boot_uuid, boot_image.string()},
                                     nullptr, nullptr);
    for (auto* program : {&mkfs_root, &mkfs_boot}) {
        ProgramResult result = program->wait();
        if (result.exit_code != 0) {
            fail("mkfs failed: " + describe(result));
        }
    }

    r.loops.push_back(attach_loop(root_image));
    r.loops.push_back(attach_loop(boot_image));
    const LoopDevice& root_loop = r.loops[0];
    const LoopDevice& boot_loop = r.loops[1];

    make_directories(r.top);
    r.mount(root_loop.node(), r.top, "btrfs", 0);
    create_subvolume("@");
    make_directories(r.root);
    r.mount(root_loop.node(), r.root, "btrfs", 0, "subvol=@");

    const fs::path& R = r.root;
    for (const char* dir :
         {"usr", "proc", "sys", "dev", "run", "tmp", "etc", "boot", "var/tmp", "root", "opt"}) {
        make_directories(R / dir);
    }
    ::chmod((R / "tmp").c_str(), 01777);
    ::chmod((R / "var/tmp").c_str(), 01777);
    ::chmod((R / "root").c_str(), 0700);
    for (const char* dir : {"bin", "sbin", "lib", "lib64", "lib32"}) {
        if (fs::exists(fs::path("/usr") / dir)) {
            make_symlink(std::string("usr/") + dir, R / dir);
        }
    }
    r.mount("/usr", R / "usr", nullptr, MS_BIND | MS_REC);
    if (::mount(nullptr, (R / "usr").c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
        0) {
        fail_errno("remount /usr read-only");
    }
    r.mount_kernel_filesystem("proc", "/proc", R / "proc");
    r.mount_kernel_filesystem("sysfs", "/sys", R / "sys");

    r.mount("tmpfs", R / "dev", "tmpfs", MS_NOSUID, "mode=0755");
    struct {
        const char* name;
        unsigned major, minor;
    } const characters[] = {{"null", 1, 3},   {"zero", 1, 5},    {"full", 1, 7},
                            {"random", 1, 8}, {"urandom", 1, 9}, {"loop-control", 10, 237}};
    for (const auto& node : characters) {
        make_node(R / "dev" / node.name, S_IFCHR | 0666, makedev(node.major, node.minor));
    }
    ::chmod((R / "dev/loop-control").c_str(), 0600);
    struct stat control {};
    if (::stat("/dev/btrfs-control", &control) == 0 && S_ISCHR(control.st_mode)) {
        make_node(R / "dev/btrfs-control", S_IFCHR | 0600, control.st_rdev);
    }
    make_directories(R / "dev/disk/by-uuid");
    make_directories(R / "dev/disk/by-label");
    for (const auto* loop : {&root_loop, &boot_loop}) {
        make_node(R / "dev" / loop->name(), S_IFBLK | 0660, loop->device);
    }
    make_symlink("../../" + root_loop.name(), R / "dev/disk/by-uuid" / r.filesystem_uuid);
    make_symlink("../../" + boot_loop.name(), R / "dev/disk/by-uuid" / r.boot_uuid);
    // udev writes the blank of the label as \x20.
    make_symlink("../../" + root_loop.name(), R / "dev/disk/by-label/sandbox\\x20root");
    r.root_device = "/dev/" + root_loop.name();
    make_symlink("/proc/self/fd", R / "dev/fd");
    make_symlink("/proc/self/fd/0", R / "dev/stdin");
    make_symlink("/proc/self/fd/1", R / "dev/stdout");
    make_symlink("/proc/self/fd/2", R / "dev/stderr");

    r.mount("tmpfs", R / "run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
    make_directories(R / "run/lock");
    r.mount("tmpfs", R / "tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");

    write_file(R / "etc/machine-id", r.machine_id + "\n", 0444);
    write_file(R / "etc/os-release",
               "NAME=\"Sandbox Linux\"\nPRETTY_NAME=\"Sandbox Linux 1.0\"\nID=sandbox\n");
    write_file(R / "etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    write_file(R / "etc/group", "root:x:0:\n");
    make_symlink("../proc/self/mounts", R / "etc/mtab");

    r.mount(boot_loop.node(), R / "boot", "ext4", 0);
    make_directories(R / "boot/loader/entries");

    // The mounts hold the loop devices now; autoclear frees them when the mounts go.
    for (auto& loop : r.loops) {
        loop.close();
    }
    creation_seconds_ =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

Sandbox::~Sandbox() = default;

const fs::path& Sandbox::root() const {
    return resources_->root;
}
const fs::path& Sandbox::top_level() const {
    return resources_->top;
}
const std::string& Sandbox::filesystem_uuid() const {
    return resources_->filesystem_uuid;
}
const std::string& Sandbox::root_device() const {
    return resources_->root_device;
}
const std::string& Sandbox::boot_uuid() const {
    return resources_->boot_uuid;
}
const std::string& Sandbox::machine_id() const {
    return resources_->machine_id;
}

const std::string& Sandbox::root_subvolume_uuid() const {
    if (resources_->root_subvolume_uuid.empty()) {
        resources_->root_subvolume_uuid = subvolume_uuid("@");
    }
    return resources_->root_subvolume_uuid;
}

fs::path Sandbox::in_root(std::string_view inside) const {
    while (!inside.empty() && inside.front() == '/') {
        inside.remove_prefix(1);
    }
    return resources_->root / inside;
}

fs::path Sandbox::in_top_level(std::string_view relative) const {
    while (!relative.empty() && relative.front() == '/') {
        relative.remove_prefix(1);
    }
    return resources_->top / relative;
}

void Sandbox::create_subvolume(std::string_view relative) {
    const fs::path path = in_top_level(relative);
    make_directories(path.parent_path());
    const int parent = open_directory(path.parent_path());
    btrfs_ioctl_vol_args args{};
    std::strncpy(args.name, path.filename().c_str(), BTRFS_PATH_NAME_MAX);
    const int result = ::ioctl(parent, BTRFS_IOC_SUBVOL_CREATE, &args);
    const int error = errno;
    ::close(parent);
    if (result != 0) {
        errno = error;
        fail_errno("create subvolume " + path.string());
    }
}

std::string Sandbox::create_snapshot(std::string_view relative, const SnapshotOptions& options) {
    const fs::path path = in_top_level(relative);
    make_directories(path.parent_path());
    const int source = open_directory(in_top_level(options.source));
    const int parent = open_directory(path.parent_path());
    btrfs_ioctl_vol_args_v2 args{};
    args.fd = source;
    args.flags = options.read_only && options.with_boot ? BTRFS_SUBVOL_RDONLY : 0;
    std::strncpy(args.name, path.filename().c_str(), BTRFS_SUBVOL_NAME_MAX);
    const int result = ::ioctl(parent, BTRFS_IOC_SNAP_CREATE_V2, &args);
    const int error = errno;
    ::close(source);
    ::close(parent);
    if (result != 0) {
        errno = error;
        fail_errno("snapshot " + path.string());
    }
    if (!options.with_boot) {
        ::rmdir((path / "boot").c_str());
        if (options.read_only) {
            const int fd = open_directory(path);
            std::uint64_t flags = BTRFS_SUBVOL_RDONLY;
            const int set = ::ioctl(fd, BTRFS_IOC_SUBVOL_SETFLAGS, &flags);
            ::close(fd);
            if (set != 0) {
                fail_errno("make " + path.string() + " read-only");
            }
        }
    }
    return subvolume_uuid(relative);
}

std::string Sandbox::subvolume_uuid(std::string_view relative) const {
    const fs::path path = in_top_level(relative);
    std::istringstream lines(run_on_host({"btrfs", "subvolume", "show", "--", path.string()}));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key, value;
        if (words >> key >> value && key == "UUID:") {
            return value;
        }
    }
    fail("no UUID for subvolume " + path.string());
}

void Sandbox::write_file(const fs::path& path, std::string_view content, mode_t mode) {
    make_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
        fail("cannot write " + path.string());
    }
    ::chmod(path.c_str(), mode);
}

WrittenEntry Sandbox::write_entry(const EntrySpec& wanted) {
    const std::string machine_id = wanted.machine_id.value_or(resources_->machine_id);
    const std::string directory = "/" + machine_id + "/" + wanted.version;
    WrittenEntry written;
    written.entry = in_root("/boot/loader/entries") / wanted.file_name;
    auto asset = [&](const std::string& name, std::uint64_t size) {
        const std::string boot_path = directory + "/" + name;
        write_file(in_root("/boot" + boot_path), filler_bytes(size, boot_path));
        return boot_path;
    };
    std::string text = "title " + wanted.title + "\nversion " + wanted.version + "\n";
    if (wanted.machine_id_line) {
        text += "machine-id " + machine_id + "\n";
    }
    text += "options " +
            wanted.options.value_or("root=UUID=" + resources_->filesystem_uuid +
                                    " rootflags=subvol=@ rw quiet") +
            "\n";
    written.kernel = asset("linux", wanted.kernel_size);
    text += "linux " + written.kernel + "\n";
    if (wanted.microcode_size > 0) {
        written.initrds.push_back(asset("intel-ucode.img", wanted.microcode_size));
    }
    written.initrds.push_back(asset("initrd", wanted.initrd_size));
    for (const auto& initrd : written.initrds) {
        text += "initrd " + initrd + "\n";
    }
    if (wanted.devicetree_size > 0) {
        written.devicetree = asset("board.dtb", wanted.devicetree_size);
        text += "devicetree " + *written.devicetree + "\n";
    }
    text += wanted.extra_lines;
    write_file(written.entry, text);
    written.text = text;
    return written;
}

void Sandbox::write_snapper_info(const fs::path& directory, const SnapperInfo& info) {
    write_file(directory / "info.xml",
               "<?xml version=\"1.0\"?>\n<snapshot>\n  <type>" + info.type + "</type>\n  <num>" +
                   std::to_string(info.number) + "</num>\n  <date>" + info.date +
                   "</date>\n  <description>" + info.description +
                   "</description>\n  <cleanup>number</cleanup>\n</snapshot>\n");
}

void Sandbox::write_timeshift_info(const fs::path& directory, const nlohmann::json& info) {
    write_file(directory / "info.json", info.dump(2) + "\n");
}

void Sandbox::write_yabsnap_meta(const fs::path& directory, std::string_view name,
                                 const nlohmann::json& meta) {
    write_file(directory / (std::string(name) + "-meta.json"), meta.dump(2) + "\n");
}

void Sandbox::write_config(std::string_view text) {
    write_file(in_root("/etc/snapwright.conf"), text);
}

std::string Sandbox::install_program(const fs::path& source, std::string_view name) {
    const std::string inside = "/opt/snapwright-test/" + std::string(name);
    const fs::path target = in_root(inside);
    make_directories(target.parent_path());
    std::error_code error;
    fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
    if (error) {
        fail("install " + source.string() + ": " + error.message());
    }
    ::chmod(target.c_str(), 0755);
    return inside;
}

std::string Sandbox::install_binary() {
    return install_program(SNAPWRIGHT_BINARY, "snapwright");
}

#ifdef SNAPWRIGHT_PROBE_DIRECTORY
std::string Sandbox::install_probe(std::string_view name) {
    return install_program(fs::path(SNAPWRIGHT_PROBE_DIRECTORY) / name, name);
}
#endif

ProgramResult Sandbox::run(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env) const {
    return start(argv, extra_env).wait();
}

RunningProgram Sandbox::start(const std::vector<std::string>& argv,
                              const std::vector<std::string>& extra_env) const {
    std::vector<std::string> env{kChrootPath};
    for (const auto& entry : extra_env) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        env.push_back(entry);
    }
    return spawn(argv, &env, &resources_->root);
}

std::string Sandbox::describe_tree(const fs::path& directory, const TreeOptions& options) {
    std::vector<std::string> lines;
    std::function<void(const fs::path&, const std::string&)> visit = [&](const fs::path& path,
                                                                         const std::string& name) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            lines.push_back(name + " missing");
            return;
        }
        std::ostringstream line;
        line << name << ' ' << std::oct << (st.st_mode & 07777) << std::dec;
        if (S_ISDIR(st.st_mode)) {
            line << " dir";
        } else if (S_ISREG(st.st_mode)) {
            line << " file " << st.st_size;
            if (options.content) {
                line << ' ' << fnv1a_digest(path);
            }
        } else if (S_ISLNK(st.st_mode)) {
            line << " link -> " << fs::read_symlink(path).string();
        } else {
            line << " special " << (st.st_mode & S_IFMT);
        }
        if (options.mtimes) {
            line << " mtime " << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec;
        }
        if (options.inodes) {
            line << " inode " << st.st_ino;
        }
        lines.push_back(line.str());
        if (S_ISDIR(st.st_mode)) {
            std::vector<std::string> children;
            for (const auto& entry : fs::directory_iterator(path)) {
                children.push_back(entry.path().filename().string());
            }
            std::sort(children.begin(), children.end());
            for (const auto& child : children) {
                visit(path / child, name == "." ? child : name + "/" + child);
            }
        }
    };
    visit(directory, ".");
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& line : lines) {
        out += line + "\n";
    }
    return out;
}

}  // namespace snapwright::testing
