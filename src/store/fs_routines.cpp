#include "store/fs_routines.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"

namespace snapwright::store {
namespace {

constexpr int kTemporaryAttempts = 1000;
constexpr std::size_t kCopyChunk = 131072;
// copy_file_range moves at most this much per call; large requests let the kernel reflink or
// splice without our looping.
constexpr std::size_t kKernelCopyChunk = std::size_t{1} << 30;

std::string temporary_name(const std::string& name, int attempt) {
    return "." + name + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
}

// The final name of `path` as text for a temporary name, or `fallback` when it is not UTF-8.
std::string name_for_temporary(const fs::path& path, const char* fallback) {
    const std::string name = path.filename().native();
    return base::is_valid_utf8(name) ? name : std::string(fallback);
}

fs::path without_trailing_slashes(const fs::path& path) {
    std::string text = path.native();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return fs::path(text);
}

// The parent of `path` as written, ignoring trailing slashes, or an empty path.
fs::path parent_of(const fs::path& path) {
    return without_trailing_slashes(path).parent_path();
}

fs::path final_name_of(const fs::path& path) {
    return without_trailing_slashes(path).filename();
}

// Creates the temporary through the directory descriptor, so the file lands in the directory
// that was checked even if its path is swapped meanwhile.
TemporaryFile create_temporary_at(int directory_fd, const fs::path& directory,
                                  const std::string& name) {
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        const std::string candidate = temporary_name(name, attempt);
        const int fd = ::openat(directory_fd, candidate.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            return TemporaryFile(base::UniqueFd(fd), directory / candidate, directory_fd);
        }
        if (errno != EEXIST) {
            base::throw_os_error(
                "create temporary file " + base::display_path(directory / candidate), errno);
        }
    }
    base::throw_error("cannot allocate a temporary file name");
}

base::UniqueFd open_directory(const fs::path& directory, int extra_flags) {
    return base::UniqueFd(
        ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra_flags));
}

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            base::throw_io_error(errno);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Copies from `source` at `offset` to the end with pread and write, for filesystems where the
// in-kernel copy is not offered.
void copy_by_reading(int source, off_t offset, int target) {
    std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
    while (true) {
        const ssize_t got = ::pread(source, buffer.get(), kCopyChunk, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            base::throw_io_error(errno);
        }
        if (got == 0) {
            return;
        }
        write_all(target, buffer.get(), static_cast<std::size_t>(got));
        offset += got;
    }
}

void copy_contents(int source, int target) {
    off_t offset = 0;
    while (true) {
        const ssize_t copied =
            ::copy_file_range(source, &offset, target, nullptr, kKernelCopyChunk, 0);
        if (copied > 0) {
            continue;
        }
        if (copied == 0) {
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        // Across filesystems, on special files and on old kernels the in-kernel copy is
        // refused before anything was written; continue by hand from where it stopped.
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
            errno == EPERM) {
            copy_by_reading(source, offset, target);
            return;
        }
        base::throw_io_error(errno);
    }
}

void fsync_or_throw(int fd) {
    if (::fsync(fd) != 0) {
        base::throw_io_error(errno);
    }
}

// Flushes and closes the temporary, renames it over `final_name` in `directory_fd` and
// fsyncs the directory.
void commit_temporary(TemporaryFile& temporary, int directory_fd, const fs::path& final_name) {
    fsync_or_throw(temporary.fd());
    if (temporary.descriptor().close() != 0) {
        base::throw_io_error(errno);
    }
    if (::renameat(directory_fd, temporary.path().filename().c_str(), directory_fd,
                   final_name.c_str()) != 0) {
        base::throw_io_error(errno);
    }
    temporary.keep();
    fsync_or_throw(directory_fd);
}

// mkdir -p with mode 0777; existing directories (and links to them) are fine.
void make_directory_chain(const fs::path& path) {
    std::string prefix;
    const std::string& text = path.native();
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('/', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        prefix = text.substr(0, end);
        pos = end + 1;
        if (prefix.empty() || prefix.back() == '/') {
            continue;
        }
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            base::throw_io_error(errno);
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        base::throw_io_error(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        base::throw_io_error(ENOTDIR);
    }
}

bool is_safe_relative(const fs::path& relative) {
    const std::string& text = relative.native();
    if (!text.empty() && text.front() == '/') {
        return false;
    }
    for (std::string_view component : base::split(text, '/')) {
        if (component.empty()) {
            continue;
        }
        if (!base::is_ordinary_name(std::string(component))) {
            return false;
        }
    }
    return true;
}

// Opens the data root as a real directory, creating it with its ancestors when missing.
base::UniqueFd open_data_root(const fs::path& root) {
    struct stat st {};
    if (::lstat(root.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            base::throw_io_error(errno);
        }
        make_directory_chain(root);
        if (::lstat(root.c_str(), &st) != 0) {
            base::throw_io_error(errno);
        }
    }
    const std::string refusal = "data root is not a real directory: " + base::display_path(root);
    if (!S_ISDIR(st.st_mode)) {
        base::throw_error(refusal);
    }
    base::UniqueFd fd = open_directory(root, O_NOFOLLOW);
    if (!fd) {
        if (errno == ELOOP || errno == ENOTDIR) {
            base::throw_error(refusal);
        }
        base::throw_io_error(errno);
    }
    return fd;
}

}  // namespace

TemporaryFile::~TemporaryFile() {
    if (kept_ || path_.empty()) {
        return;
    }
    fd_.reset();
    if (directory_ >= 0) {
        ::unlinkat(directory_, path_.filename().c_str(), 0);
    } else {
        ::unlink(path_.c_str());
    }
}

std::optional<std::string_view> temporary_target(std::string_view name) {
    const auto all_digits = [](std::string_view text) {
        return !text.empty() &&
               std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const std::size_t marker = name.rfind(".tmp-");
    if (marker == std::string_view::npos || marker < 2 || name.front() != '.') {
        return std::nullopt;
    }
    const std::string_view numbers = name.substr(marker + 5);
    const std::size_t dash = numbers.find('-');
    if (dash == std::string_view::npos || !all_digits(numbers.substr(0, dash)) ||
        !all_digits(numbers.substr(dash + 1))) {
        return std::nullopt;
    }
    return name.substr(1, marker - 1);
}

std::size_t remove_temporaries(const fs::path& directory,
                               const std::function<bool(std::string_view)>& accept) {
    base::UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) {
            return 0;
        }
        base::throw_io_error(errno);
    }
    std::vector<std::string> names;
    {
        const int listing_fd = ::dup(fd.get());
        if (listing_fd < 0) {
            base::throw_io_error(errno);
        }
        std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(listing_fd), ::closedir);
        if (!listing) {
            const int error = errno;
            ::close(listing_fd);
            base::throw_io_error(error);
        }
        errno = 0;
        while (const dirent* entry = ::readdir(listing.get())) {
            const std::string_view name = entry->d_name;
            const std::optional<std::string_view> target = temporary_target(name);
            if (target && accept(*target)) {
                names.emplace_back(name);
            }
            errno = 0;
        }
        if (errno != 0) {
            base::throw_io_error(errno);
        }
    }
    std::size_t removed = 0;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            base::throw_io_error(errno);
        }
        if (!S_ISREG(st.st_mode)) {
            continue;
        }
        if (::unlinkat(fd.get(), name.c_str(), 0) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            base::throw_io_error(errno);
        }
        ++removed;
    }
    if (removed > 0) {
        fsync_or_throw(fd.get());
    }
    return removed;
}

TemporaryFile create_temporary_file(const fs::path& directory, const std::string& name) {
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        const fs::path candidate = directory / temporary_name(name, attempt);
        const int fd =
            ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            return TemporaryFile(base::UniqueFd(fd), candidate);
        }
        if (errno != EEXIST) {
            base::throw_os_error("create temporary file " + base::display_path(candidate), errno);
        }
    }
    base::throw_error("cannot allocate a temporary file name");
}

void copy_descriptor_atomically(int source, const fs::path& target) {
    const fs::path parent = parent_of(target);
    if (parent.empty()) {
        base::throw_error("invalid object path " + base::display_path(target));
    }
    const std::string refusal = "object parent is not a directory: " + base::display_path(parent);
    struct stat st {};
    if (::lstat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        base::throw_error(refusal);
    }
    const base::UniqueFd directory = open_directory(parent, O_NOFOLLOW);
    if (!directory) {
        base::throw_error(refusal);
    }
    const fs::path final_name = final_name_of(target);
    TemporaryFile temporary =
        create_temporary_at(directory.get(), parent, name_for_temporary(final_name, "object"));
    copy_contents(source, temporary.fd());
    commit_temporary(temporary, directory.get(), final_name);
}

void copy_file_atomically(const fs::path& source, const fs::path& target) {
    // The parent is checked before the source is opened so that a bad target is reported first.
    const fs::path parent = parent_of(target);
    if (parent.empty()) {
        base::throw_error("invalid object path " + base::display_path(target));
    }
    struct stat st {};
    if (::lstat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        base::throw_error("object parent is not a directory: " + base::display_path(parent));
    }
    const base::UniqueFd fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        base::throw_io_error(errno);
    }
    copy_descriptor_atomically(fd.get(), target);
}

void write_file_atomically(const fs::path& target, std::string_view bytes, unsigned mode) {
    const fs::path parent = parent_of(target);
    if (parent.empty()) {
        base::throw_error("invalid output path " + base::display_path(target));
    }
    make_directory_chain(parent);
    const base::UniqueFd directory = open_directory(parent, 0);
    if (!directory) {
        base::throw_io_error(errno);
    }
    const fs::path final_name = final_name_of(target);
    TemporaryFile temporary =
        create_temporary_at(directory.get(), parent, name_for_temporary(final_name, "data"));
    if (::fchmod(temporary.fd(), static_cast<mode_t>(mode)) != 0) {
        base::throw_io_error(errno);
    }
    write_all(temporary.fd(), bytes.data(), bytes.size());
    commit_temporary(temporary, directory.get(), final_name);
}

fs::path ensure_directory(const fs::path& root, const fs::path& relative) {
    if (!is_safe_relative(relative)) {
        base::throw_error("unsafe relative directory path: " + base::display_path(relative));
    }
    base::UniqueFd current = open_data_root(root);
    fs::path walked = root;
    for (std::string_view piece : base::split(relative.native(), '/')) {
        if (piece.empty()) {
            continue;
        }
        const std::string name(piece);
        if (!base::is_ordinary_name(name)) {
            base::throw_error("unsafe directory component");
        }
        walked /= name;
        const std::string refusal =
            "refusing to traverse non-directory path " + base::display_path(walked);
        struct stat st {};
        if (::fstatat(current.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                base::throw_io_error(errno);
            }
            if (::mkdirat(current.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
                base::throw_io_error(errno);
            }
            // A new directory must survive a crash before anything is renamed into it.
            fsync_or_throw(current.get());
        } else if (!S_ISDIR(st.st_mode)) {
            base::throw_error(refusal);
        }
        const int next =
            ::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            if (errno == ELOOP || errno == ENOTDIR) {
                base::throw_error(refusal);
            }
            base::throw_io_error(errno);
        }
        current.reset(next);
    }
    return base::join_under(root, relative);
}

void remove_empty_directory(const fs::path& directory) {
    {
        std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory.c_str()), ::closedir);
        if (!listing) {
            base::throw_io_error(errno);
        }
        errno = 0;
        while (const dirent* entry = ::readdir(listing.get())) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                return;
            }
        }
        if (errno != 0) {
            base::throw_io_error(errno);
        }
    }
    const fs::path parent = parent_of(directory);
    if (parent.empty()) {
        base::throw_error("path has no parent: " + base::display_path(directory));
    }
    if (::rmdir(directory.c_str()) != 0) {
        // Something was added since the listing: the directory is in use, leave it.
        if (errno == ENOTEMPTY || errno == EEXIST) {
            return;
        }
        base::throw_io_error(errno);
    }
    sync_directory(parent);
}

void sync_directory(const fs::path& directory) {
    const base::UniqueFd fd = open_directory(directory, 0);
    if (!fd) {
        base::throw_io_error(errno);
    }
    fsync_or_throw(fd.get());
}

}  // namespace snapwright::store
