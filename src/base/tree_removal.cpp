#include "base/tree_removal.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/app_error.hpp"
#include "base/directory.hpp"
#include "base/file_io.hpp"
#include "base/file_kind.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::base {
namespace {

void remove_entry(int directory, const std::string& name);

// The names are read completely before anything is removed from the directory.
void remove_contents(int directory, const std::string& last_entry) {
    for (const std::string& name : list_directory_at(directory)) {
        if (name != last_entry) {
            remove_entry(directory, name);
        }
    }
}

void remove_entry(int directory, const std::string& name) {
    const FileInfo info = inspect_at(directory, name);
    if (info.absent()) {
        return;
    }
    if (info.directory()) {
        UniqueFd child(
            ::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child) {
            throw_io_error(errno);
        }
        remove_contents(child.get(), "");
        if (::unlinkat(directory, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
            throw_io_error(errno);
        }
        return;
    }
    if (::unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) {
        throw_io_error(errno);
    }
}

}  // namespace

void remove_tree(const std::filesystem::path& path, const std::string& last_entry) {
    const FileInfo info = inspect(path);
    if (info.absent()) {
        return;
    }
    if (!info.directory()) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            throw_io_error(errno);
        }
        return;
    }
    const UniqueFd directory = open_directory(path, O_NOFOLLOW);
    if (!directory) {
        throw_io_error(errno);
    }
    remove_contents(directory.get(), last_entry);
    if (!last_entry.empty()) {
        // The removals above must be on disk before the last entry goes, or a crash could keep
        // them while losing it.
        fsync_or_throw(directory.get());
        remove_entry(directory.get(), last_entry);
    }
    if (::rmdir(path.c_str()) != 0 && errno != ENOENT) {
        throw_io_error(errno);
    }
}

}  // namespace snapwright::base
