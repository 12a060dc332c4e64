#include "support/sandbox.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/files.hpp"
#include "support/loop_device.hpp"

namespace snapwright::testing {
namespace {

constexpr const char* kChrootPath =
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr std::uint64_t kRootImageBytes = 256ull << 20;
constexpr std::uint64_t kBootImageBytes = 64ull << 20;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

[[noreturn]] void fail_errno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string random_uuid() {
    std::string uuid = read_file("/proc/sys/kernel/random/uuid");
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
// Whether `path` lies strictly below `directory`, compared by components.
bool path_is_below(const fs::path& path, const fs::path& directory) {
    const fs::path relative = path.lexically_relative(directory);
    return !relative.empty() && relative != "." && *relative.begin() != "..";
}

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

int open_directory(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail_errno("open " + path.string());
    }
    return fd;
}

}  // namespace

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
    RunningProgram mkfs_root =
        start_program("mkfs.btrfs", {"mkfs.btrfs", "-q", "-K", "-U", r.filesystem_uuid, "-L",
                                     kFilesystemLabel, root_image.string()});
    RunningProgram mkfs_boot =
        start_program("mkfs.ext4", {"mkfs.ext4", "-q", "-F", "-O", "^has_journal", "-E",
                                    "nodiscard", "-U", r.boot_uuid, boot_image.string()});
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
    // The host's EFI variables would choose the default boot entry of the machine; tests put
    // their own in efi_variables().
    if (fs::is_directory(R / "sys/firmware")) {
        r.mount("tmpfs", R / "sys/firmware", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
    }

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
    // A configured machine boots its own entries by default, never a snapshot's (whose names
    // start with "s"); the glob has no negation.
    write_file(R / "boot/loader/loader.conf", "default [0-9a-rt-z]*\n");

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

std::string Sandbox::add_root_device() {
    Resources& r = *resources_;
    const fs::path image = r.work / ("member" + std::to_string(r.loops.size()) + ".img");
    create_sparse_file(image, kRootImageBytes);
    r.loops.push_back(attach_loop(image));
    LoopDevice& loop = r.loops.back();
    (void)run_on_host({"btrfs", "device", "add", "-K", "-f", loop.node(), r.top.string()});
    make_node(r.root / "dev" / loop.name(), S_IFBLK | 0660, loop.device);
    // The filesystem holds the device now; autoclear frees it when the mounts go.
    loop.close();
    return "/dev/" + loop.name();
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

std::map<std::string, std::string> subvolume_show_values(const std::string& output) {
    std::map<std::string, std::string> values;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line) && line.find("Snapshot(s):") == std::string::npos) {
        const auto colon = line.find(':');
        const auto key = line.find_first_not_of(" \t");
        const auto value = line.find_first_not_of(" \t", colon + 1);
        if (colon != std::string::npos && value != std::string::npos) {
            values[line.substr(key, colon - key)] = line.substr(value);
        }
    }
    return values;
}

std::string Sandbox::subvolume_uuid(std::string_view relative) const {
    const fs::path path = in_top_level(relative);
    const auto values =
        subvolume_show_values(run_on_host({"btrfs", "subvolume", "show", "--", path.string()}));
    if (const auto uuid = values.find("UUID"); uuid != values.end()) {
        return uuid->second;
    }
    fail("no UUID for subvolume " + path.string());
}

void Sandbox::mount_subvolume(std::string_view relative, std::string_view inside) {
    const fs::path target = in_root(inside);
    make_directories(target);
    resources_->mount(resources_->root_device, target, "btrfs", 0,
                      ("subvol=" + std::string(relative)).c_str());
}

void Sandbox::replace_root(std::string_view relative) {
    Resources& r = *resources_;
    const fs::path staging = r.work / "next-root";
    make_directories(staging);
    if (::mount(r.root_device.c_str(), staging.c_str(), "btrfs", 0,
                ("subvol=" + std::string(relative)).c_str()) != 0) {
        fail_errno("mount " + std::string(relative) + " on " + staging.string());
    }
    // The mounts right below the old root carry their own submounts along when moved.
    std::vector<fs::path> moved;
    for (const fs::path& mount : r.mounts) {
        const bool below_root = mount != r.root && path_is_below(mount, r.root);
        const bool below_moved = std::any_of(
            moved.begin(), moved.end(), [&](const fs::path& m) { return path_is_below(mount, m); });
        if (!below_root || below_moved) {
            continue;
        }
        const fs::path target = staging / mount.lexically_relative(r.root);
        make_directories(target);
        if (::mount(mount.c_str(), target.c_str(), nullptr, MS_MOVE, nullptr) != 0) {
            fail_errno("move " + mount.string() + " to " + target.string());
        }
        moved.push_back(mount);
    }
    if (::umount2(r.root.c_str(), 0) != 0) {
        fail_errno("unmount the old root " + r.root.string());
    }
    if (::mount(staging.c_str(), r.root.c_str(), nullptr, MS_MOVE, nullptr) != 0) {
        fail_errno("move " + staging.string() + " to " + r.root.string());
    }
}

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
    return start_program(argv.at(0), argv, {.environment = env, .root = resources_->root});
}

}  // namespace snapwright::testing
