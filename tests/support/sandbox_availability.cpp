#include "support/sandbox.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace snapwright::testing {
namespace {

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

}  // namespace

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

}  // namespace snapwright::testing
