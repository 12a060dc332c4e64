#include "system/free_space.hpp"

#include <sys/statvfs.h>

#include <cerrno>
#include <string>

#include "base/app_error.hpp"
#include "base/checked.hpp"
#include "base/paths.hpp"

namespace snapwright::system {

std::uint64_t available_bytes(std::uint64_t blocks, std::uint64_t fragment_size) {
    return base::checked_mul(blocks, fragment_size, "filesystem free-space value overflow");
}

std::uint64_t free_space(const std::filesystem::path& path) {
    if (path.native().find('\0') != std::string::npos) {
        base::throw_error("path contains a NUL byte: " + base::display_path(path));
    }
    struct statvfs status {};
    if (::statvfs(path.c_str(), &status) != 0) {
        base::throw_os_error("read filesystem free space", errno);
    }
    return available_bytes(status.f_bavail, status.f_frsize);
}

}  // namespace snapwright::system
