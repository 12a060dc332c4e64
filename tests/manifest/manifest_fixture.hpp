#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "manifest/schema.hpp"

namespace snapwright::manifest::testing {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it.
class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::string pattern = (fs::temp_directory_path() / "snapwright-manifest-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        for (auto it = fs::recursive_directory_iterator(path_, ignored);
             it != fs::recursive_directory_iterator(); it.increment(ignored)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
            }
        }
        fs::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& relative) const { return path_ / relative; }

  private:
    fs::path path_;
};

inline void write_file(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Makes a file impossible to remove while the object lives: the immutable flag where the
// process may set it (root on a filesystem that has it), else a read-only parent directory
// (which stops only an unprivileged process). `active` says whether either worked.
class UndeletableFile {
  public:
    explicit UndeletableFile(fs::path file) : file_(std::move(file)) {
        const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            immutable_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) {
            ::close(fd);
        }
        if (!immutable_ && ::geteuid() != 0) {
            read_only_parent_ = ::chmod(file_.parent_path().c_str(), 0500) == 0;
        }
    }
    ~UndeletableFile() { release(); }
    UndeletableFile(const UndeletableFile&) = delete;
    UndeletableFile& operator=(const UndeletableFile&) = delete;

    bool active() const { return immutable_ || read_only_parent_; }

    // Makes the file removable again.
    void release() {
        if (immutable_) {
            const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
            int flags = 0;
            if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                (void)::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            if (fd >= 0) {
                ::close(fd);
            }
        }
        if (read_only_parent_) {
            (void)::chmod(file_.parent_path().c_str(), 0700);
        }
        immutable_ = read_only_parent_ = false;
    }

  private:
    fs::path file_;
    bool immutable_ = false;
    bool read_only_parent_ = false;
};

inline std::string digest_of(char fill) {
    return std::string(64, fill);
}

inline store::AssetRef asset(store::AssetKind kind, char digest_fill, std::string name,
                             std::uint64_t size) {
    return store::AssetRef{{"sha256", digest_of(digest_fill)}, kind, std::move(name), size};
}

inline provider::SnapshotKey key(std::string snapshot_id, std::string instance = "root",
                                 std::string provider = "snapper",
                                 std::string uuid = "0f5c6a1e-7d2b-4c3a-9e8f-112233445566") {
    return provider::SnapshotKey{std::move(uuid), std::move(provider), std::move(instance),
                                 std::move(snapshot_id)};
}

// A manifest of machine "m1" with one profile of kernel, microcode and initramfs.
inline SnapshotManifest sample_manifest(provider::SnapshotKey snapshot_key) {
    SnapshotManifest manifest;
    manifest.snapshot.key = std::move(snapshot_key);
    manifest.snapshot.created_utc = "2024-03-01 10:00:00";
    manifest.snapshot.description = "timeline";
    manifest.snapshot.subvolume = "/.snapshots/" + manifest.snapshot.key.snapshot_id + "/snapshot";
    manifest.snapshot.properties = {{"type", "single"}};
    manifest.os_name = "Arch Linux";
    manifest.machine_id = "m1";
    manifest.source_config = "# source-entry: arch.conf\ntitle Arch\n\n";
    BootProfile profile;
    profile.name = "Arch";
    profile.protocol = "linux";
    profile.kernel = asset(store::AssetKind::Kernel, 'a', "vmlinuz-linux", 100);
    profile.modules = {asset(store::AssetKind::Microcode, 'b', "intel-ucode.img", 20),
                       asset(store::AssetKind::Initramfs, 'c', "initramfs-linux.img", 300)};
    profile.cmdline = "root=UUID=x rw rootflags=subvol=" + manifest.snapshot.subvolume;
    manifest.profiles = {profile};
    return manifest;
}

// Runs `body` and returns the display text of the AppError it throws.
template <typename Body>
std::string error_of(Body body) {
    try {
        body();
    } catch (const base::AppError& error) {
        return error.display();
    }
    ADD_FAILURE() << "no AppError was thrown";
    return "";
}

}  // namespace snapwright::manifest::testing
