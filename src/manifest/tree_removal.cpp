#include "manifest/tree_removal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "base/app_error.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::manifest {
namespace {

// The names in an open directory, read completely before anything is removed from it.
std::vector<std::string> entry_names(int directory) {
    base::UniqueFd own(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!own) {
        base::throw_io_error(errno);
    }
    DIR* stream = ::fdopendir(own.get());
    if (stream == nullptr) {
        base::throw_io_error(errno);
    }
    own.release();
    std::vector<std::string> names;
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) {
            const int error = errno;
            ::closedir(stream);
            if (error != 0) {
                base::throw_io_error(error);
            }
            return names;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
}

void remove_entry(int directory, const std::string& name);

void remove_contents(int directory, const std::string& last_entry) {
    for (const std::string& name : entry_names(directory)) {
        if (name != last_entry) {
            remove_entry(directory, name);
        }
    }
}

void remove_entry(int directory, const std::string& name) {
    struct stat status {};
    if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return;
        }
        base::throw_io_error(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        base::UniqueFd child(
            ::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child) {
            base::throw_io_error(errno);
        }
        remove_contents(child.get(), "");
        if (::unlinkat(directory, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
            base::throw_io_error(errno);
        }
        return;
    }
    if (::unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) {
        base::throw_io_error(errno);
    }
}

}  // namespace

void remove_tree(const std::filesystem::path& path, const std::string& last_entry) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return;
        }
        base::throw_io_error(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            base::throw_io_error(errno);
        }
        return;
    }
    base::UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
        base::throw_io_error(errno);
    }
    remove_contents(directory.get(), last_entry);
    if (!last_entry.empty()) {
        // The removals above must be on disk before the last entry goes, or a crash could keep
        // them while losing it.
        if (::fsync(directory.get()) != 0) {
            base::throw_io_error(errno);
        }
        remove_entry(directory.get(), last_entry);
    }
    if (::rmdir(path.c_str()) != 0 && errno != ENOENT) {
        base::throw_io_error(errno);
    }
}

}  // namespace snapwright::manifest
