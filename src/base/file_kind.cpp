#include "base/file_kind.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "base/app_error.hpp"

namespace snapwright::base {
namespace {

FileKind kind_of(mode_t mode) {
    if (S_ISDIR(mode)) {
        return FileKind::Directory;
    }
    if (S_ISREG(mode)) {
        return FileKind::Regular;
    }
    if (S_ISLNK(mode)) {
        return FileKind::Symlink;
    }
    return FileKind::Other;
}

FileInfo info_or_throw(int result, const struct stat& status, const std::string& message) {
    if (result != 0) {
        if (errno == ENOENT) {
            return FileInfo{};
        }
        throw_os_error(message, errno);
    }
    return FileInfo{kind_of(status.st_mode), static_cast<std::uint64_t>(status.st_size)};
}

}  // namespace

FileInfo inspect(const std::filesystem::path& path, const std::string& message) {
    struct stat status {};
    return info_or_throw(::lstat(path.c_str(), &status), status, message);
}

FileInfo inspect_at(int directory, const std::string& name, const std::string& message) {
    struct stat status {};
    return info_or_throw(::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW), status,
                         message);
}

FileKind kind_or_absent(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? kind_of(status.st_mode) : FileKind::Absent;
}

FileKind followed_kind_or_absent(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? kind_of(status.st_mode) : FileKind::Absent;
}

}  // namespace snapwright::base
