#include "base/private_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <utility>

#include "base/app_error.hpp"
#include "base/directory.hpp"
#include "base/paths.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::base {
namespace {

// Checks the directory `name` in the directory open at `parent` (AT_FDCWD for a path) and,
// with `below`, everything under it but what lies below its child `not_below`. A name that is
// gone or is no directory is skipped.
void check_at(int parent, const std::string& name, const std::filesystem::path& path, bool below,
              std::string_view not_below = {}) {
    UniqueFd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
            return;
        }
        throw_io_error(errno);
    }
    if (is_shared_writable(fd.get())) {
        refuse_shared_directory(path);
    }
    if (!below) {
        return;
    }
    // The listing's kinds spare a look at every name of a tree with thousands of directories.
    Directory listing = Directory::adopt(std::move(fd));
    for (const DirectoryEntry& child : listing.entries()) {
        if (child.kind == FileKind::Directory) {
            check_at(listing.fd(), child.name, path / child.name, child.name != not_below);
        }
    }
}

}  // namespace

void check_private_directory(const std::filesystem::path& path) {
    check_at(AT_FDCWD, path.string(), path, false);
}

void check_private_tree(const std::filesystem::path& root, std::string_view not_below) {
    check_at(AT_FDCWD, root.string(), root, true, not_below);
}

bool is_shared_writable(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throw_io_error(errno);
    }
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

void refuse_shared_directory(const std::filesystem::path& path) {
    const std::string shown = display_path(path);
    throw_error("refusing group- or world-writable directory " + shown +
                "; fix it with chmod go-w " + shown);
}

}  // namespace snapwright::base
