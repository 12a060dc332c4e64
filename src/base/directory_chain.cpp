#include "base/directory_chain.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/app_error.hpp"
#include "base/file_io.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::base {
namespace {

constexpr int kTemporaryDirectoryAttempts = 1000;

bool is_safe_relative(const fs::path& relative) {
    const std::string& text = relative.native();
    if (!text.empty() && text.front() == '/') {
        return false;
    }
    for (std::string_view component : split(text, '/')) {
        if (!component.empty() && !is_ordinary_name(std::string(component))) {
            return false;
        }
    }
    return true;
}

// Opens the data root as a real directory, creating it with its ancestors when missing.
UniqueFd open_data_root(const fs::path& root) {
    FileInfo info = inspect(root);
    if (info.absent()) {
        make_directory_chain(root);
        info = inspect(root);
        if (info.absent()) {
            throw_io_error(ENOENT);
        }
    }
    const std::string refusal = "data root is not a real directory: " + display_path(root);
    if (!info.directory()) {
        throw_error(refusal);
    }
    UniqueFd fd = open_directory(root, O_NOFOLLOW);
    if (!fd) {
        if (errno == ELOOP || errno == ENOTDIR) {
            throw_error(refusal);
        }
        throw_io_error(errno);
    }
    return fd;
}

// Makes the directory `name` in the directory open at `parent` as NewDirectory::Renamed says.
// Another process's directory appearing under the name meanwhile is fine.
void make_directory_renamed(int parent, const std::string& name) {
    std::string temporary;
    for (int attempt = 0;; ++attempt) {
        if (attempt == kTemporaryDirectoryAttempts) {
            throw_error("cannot allocate a temporary file name");
        }
        temporary =
            "." + name + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        if (::mkdirat(parent, temporary.c_str(), 0777) == 0) {
            break;
        }
        if (errno != EEXIST) {
            throw_io_error(errno);
        }
    }
    // A failure before the rename would leave the empty temporary in a directory that is not
    // ours (the boot partition's root); only an interrupted run may leave it for the next one.
    struct RemoveUnlessRenamed {
        int parent;
        const std::string& name;
        bool renamed = false;
        ~RemoveUnlessRenamed() {
            if (!renamed) {
                (void)::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
            }
        }
    } guard{parent, temporary};
    const UniqueFd made(
        ::openat(parent, temporary.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!made) {
        throw_io_error(errno);
    }
    fsync_or_throw(made.get());
    fsync_or_throw(parent);
    guard.renamed = true;
    if (::renameat(parent, temporary.c_str(), parent, name.c_str()) != 0) {
        const int error = errno;
        (void)::unlinkat(parent, temporary.c_str(), AT_REMOVEDIR);
        if (error != EEXIST && error != ENOTEMPTY) {
            throw_io_error(error);
        }
    }
    fsync_or_throw(parent);
}

fs::path without_trailing_slashes(const fs::path& path) {
    std::string text = path.native();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return fs::path(text);
}

}  // namespace

fs::path parent_of(const fs::path& path) {
    return without_trailing_slashes(path).parent_path();
}

fs::path final_name_of(const fs::path& path) {
    return without_trailing_slashes(path).filename();
}

void make_directory_chain(const fs::path& path) {
    const std::string& text = path.native();
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('/', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string prefix = text.substr(0, end);
        pos = end + 1;
        if (prefix.empty() || prefix.back() == '/') {
            continue;
        }
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            throw_io_error(errno);
        }
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw_io_error(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        throw_io_error(ENOTDIR);
    }
}

fs::path ensure_directory(const fs::path& root, const fs::path& relative, NewDirectory how) {
    if (!is_safe_relative(relative)) {
        throw_error("unsafe relative directory path: " + display_path(relative));
    }
    UniqueFd current = open_data_root(root);
    fs::path walked = root;
    for (std::string_view piece : split(relative.native(), '/')) {
        if (piece.empty()) {
            continue;
        }
        const std::string name(piece);
        walked /= name;
        const std::string refusal =
            "refusing to traverse non-directory path " + display_path(walked);
        const FileInfo info = inspect_at(current.get(), name);
        if (info.absent() && how == NewDirectory::Renamed) {
            make_directory_renamed(current.get(), name);
        } else if (info.absent()) {
            if (::mkdirat(current.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
                throw_io_error(errno);
            }
            // A new directory must survive a crash before anything is renamed into it.
            fsync_or_throw(current.get());
        } else if (!info.directory()) {
            throw_error(refusal);
        }
        const int next =
            ::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            if (errno == ELOOP || errno == ENOTDIR) {
                throw_error(refusal);
            }
            throw_io_error(errno);
        }
        current.reset(next);
    }
    return join_under(root, relative);
}

bool remove_if_empty_at(int parent, const std::string& name) {
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) {
            return false;
        }
        throw_io_error(errno);
    }
    fsync_or_throw(parent);
    return true;
}

bool remove_if_empty(const fs::path& directory) {
    const fs::path parent = parent_of(directory);
    if (parent.empty()) {
        throw_error("path has no parent: " + display_path(directory));
    }
    const UniqueFd parent_fd = open_directory(parent);
    if (!parent_fd) {
        throw_io_error(errno);
    }
    return remove_if_empty_at(parent_fd.get(), final_name_of(directory).native());
}

}  // namespace snapwright::base
