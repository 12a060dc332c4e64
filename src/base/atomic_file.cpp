#include "base/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "base/app_error.hpp"
#include "base/directory.hpp"
#include "base/directory_chain.hpp"
#include "base/file_io.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"
#include "base/shared_clusters.hpp"
#include "base/text.hpp"

namespace snapwright::base {
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
    return is_valid_utf8(name) ? name : std::string(fallback);
}

// Tries the temporary names in turn; `open_candidate` opens one exclusively.
template <typename Open>
TemporaryFile create_temporary(const fs::path& directory, const std::string& name, int directory_fd,
                               Open open_candidate) {
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        const std::string candidate = temporary_name(name, attempt);
        const int fd = open_candidate(candidate);
        if (fd >= 0) {
            return TemporaryFile(UniqueFd(fd), directory / candidate, directory_fd);
        }
        if (errno != EEXIST) {
            throw_os_error("create temporary file " + display_path(directory / candidate), errno);
        }
    }
    throw_error("cannot allocate a temporary file name");
}

constexpr int kTemporaryFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;

// Creates the temporary through the directory descriptor, so the file lands in the directory
// that was checked even if its path is swapped meanwhile.
TemporaryFile create_temporary_at(int directory_fd, const fs::path& directory,
                                  const std::string& name) {
    return create_temporary(directory, name, directory_fd, [&](const std::string& candidate) {
        return ::openat(directory_fd, candidate.c_str(), kTemporaryFlags, 0600);
    });
}

// Copies from `source` at `offset` to the end with pread and write, for filesystems where the
// in-kernel copy is not offered.
void copy_by_reading(int source, off_t offset, int target) {
    std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
    while (true) {
        const ssize_t got = pread_retrying(source, buffer.get(), kCopyChunk, offset);
        if (got < 0) {
            throw_io_error(errno);
        }
        if (got == 0) {
            return;
        }
        write_all(target, std::string_view(buffer.get(), static_cast<std::size_t>(got)));
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
        throw_io_error(errno);
    }
}

// Copies `length` bytes from `source` at `offset`; a source that ends early is an I/O error.
void copy_range(int source, std::uint64_t offset, std::uint64_t length, int target) {
    auto position = static_cast<off_t>(offset);
    bool by_hand = false;
    std::unique_ptr<char[]> buffer;
    while (length > 0) {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(length, by_hand ? kCopyChunk : kKernelCopyChunk));
        ssize_t copied = 0;
        if (!by_hand) {
            copied = ::copy_file_range(source, &position, target, nullptr, want, 0);
            if (copied < 0 && errno != EINTR &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                 errno == EPERM)) {
                by_hand = true;
                buffer.reset(new char[kCopyChunk]);
                continue;
            }
        } else {
            copied = pread_retrying(source, buffer.get(), want, position);
            if (copied > 0) {
                write_all(target, std::string_view(buffer.get(), static_cast<std::size_t>(copied)));
                position += copied;
            }
        }
        if (copied < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_io_error(errno);
        }
        if (copied == 0) {
            throw_io_text_error(kIoFailed, "the file ended before the bytes to copy");
        }
        length -= static_cast<std::uint64_t>(copied);
    }
}

// Flushes and closes the temporary, renames it over `final_name` in `directory_fd` and
// fsyncs the directory.
void commit_temporary(TemporaryFile& temporary, int directory_fd, const fs::path& final_name) {
    fsync_or_throw(temporary.fd());
    if (temporary.descriptor().close() != 0) {
        throw_io_error(errno);
    }
    if (::renameat(directory_fd, temporary.path().filename().c_str(), directory_fd,
                   final_name.c_str()) != 0) {
        throw_io_error(errno);
    }
    temporary.keep();
    fsync_or_throw(directory_fd);
}

// The parent of an object target, which must be a real directory; checked before anything else
// so that a bad target is reported first.
fs::path object_parent(const fs::path& target) {
    fs::path parent = parent_of(target);
    if (parent.empty()) {
        throw_error("invalid object path " + display_path(target));
    }
    if (kind_or_absent(parent) != FileKind::Directory) {
        throw_error("object parent is not a directory: " + display_path(parent));
    }
    return parent;
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
                               const std::function<bool(std::string_view)>& accept,
                               const KeepTemporary& keep, std::size_t* remaining) {
    if (remaining != nullptr) {
        *remaining = 0;
    }
    UniqueFd opened = open_directory(directory, O_NOFOLLOW);
    if (!opened) {
        if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) {
            return 0;
        }
        throw_io_error(errno);
    }
    // The listing's own descriptor serves the removals too, so the directory is opened once.
    Directory listing = Directory::adopt(std::move(opened));
    const int fd = listing.fd();
    std::vector<std::string> names;
    std::vector<std::string> listed = listing.names();
    const std::size_t listed_count = listed.size();
    for (std::string& name : listed) {
        const std::optional<std::string_view> target = temporary_target(name);
        if (target && accept(*target)) {
            names.push_back(std::move(name));
        }
    }
    std::size_t removed = 0;
    for (const std::string& name : names) {
        if (!inspect_at(fd, name).regular() || (keep && keep(fd, name, *temporary_target(name)))) {
            continue;
        }
        if (::unlinkat(fd, name.c_str(), 0) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            throw_io_error(errno);
        }
        ++removed;
    }
    if (removed > 0) {
        fsync_or_throw(fd);
    }
    if (remaining != nullptr) {
        *remaining = listed_count - removed;
    }
    return removed;
}

std::vector<fs::path> remove_directory_temporaries(
    const fs::path& directory, const std::function<bool(std::string_view)>& accept) {
    std::vector<fs::path> left;
    const UniqueFd fd = open_directory(directory, O_NOFOLLOW);
    if (!fd) {
        if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) {
            return left;
        }
        throw_io_error(errno);
    }
    bool removed = false;
    for (const std::string& name : list_directory_at(fd.get())) {
        const std::optional<std::string_view> target = temporary_target(name);
        if (!target || !accept(*target) || !inspect_at(fd.get(), name).directory()) {
            continue;
        }
        // Beside the directory it became, the temporary may be the other name of a rename that
        // a power cut tore on FAT: both on one cluster chain, and removing it would free the
        // clusters under the live directory.
        if (lacks_journal(fd.get()) && !inspect_at(fd.get(), std::string(*target)).absent()) {
            left.push_back(directory / name);
            continue;
        }
        if (::unlinkat(fd.get(), name.c_str(), AT_REMOVEDIR) == 0) {
            removed = true;
        } else if (errno != ENOENT) {
            left.push_back(directory / name);
        }
    }
    if (removed) {
        fsync_or_throw(fd.get());
    }
    return left;
}

std::vector<fs::path> remove_chain_temporaries(const fs::path& root, const fs::path& relative) {
    std::vector<fs::path> left;
    fs::path level = root;
    for (std::string_view piece : split(relative.native(), '/')) {
        if (piece.empty()) {
            continue;
        }
        const std::string name(piece);
        std::vector<fs::path> here = remove_directory_temporaries(
            level, [&](std::string_view target) { return target == name; });
        left.insert(left.end(), here.begin(), here.end());
        level /= name;
    }
    return left;
}

TemporaryFile create_temporary_file(const fs::path& directory, const std::string& name) {
    return create_temporary(directory, name, -1, [&](const std::string& candidate) {
        return ::open((directory / candidate).c_str(), kTemporaryFlags, 0600);
    });
}

namespace {

// Writes an object file through a temporary beside `target`; `fill` writes the contents into the
// temporary's descriptor.
template <typename Fill>
void write_object_atomically(const fs::path& target, Fill fill) {
    const fs::path parent = object_parent(target);
    const UniqueFd directory = open_directory(parent, O_NOFOLLOW);
    if (!directory) {
        throw_error("object parent is not a directory: " + display_path(parent));
    }
    const fs::path final_name = final_name_of(target);
    TemporaryFile temporary =
        create_temporary_at(directory.get(), parent, name_for_temporary(final_name, "object"));
    fill(temporary.fd());
    commit_temporary(temporary, directory.get(), final_name);
}

}  // namespace

void copy_descriptor_atomically(int source, const fs::path& target) {
    write_object_atomically(target, [&](int fd) { copy_contents(source, fd); });
}

void copy_range_atomically(int source, std::uint64_t offset, std::uint64_t length,
                           const fs::path& target) {
    write_object_atomically(target, [&](int fd) { copy_range(source, offset, length, fd); });
}

void copy_file_atomically(const fs::path& source, const fs::path& target) {
    (void)object_parent(target);
    const UniqueFd fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        throw_io_error(errno);
    }
    copy_descriptor_atomically(fd.get(), target);
}

void write_file_atomically(const fs::path& target, std::string_view bytes, unsigned mode) {
    const fs::path parent = parent_of(target);
    if (parent.empty()) {
        throw_error("invalid output path " + display_path(target));
    }
    make_directory_chain(parent);
    const UniqueFd directory = open_directory(parent);
    if (!directory) {
        throw_io_error(errno);
    }
    const fs::path final_name = final_name_of(target);
    TemporaryFile temporary =
        create_temporary_at(directory.get(), parent, name_for_temporary(final_name, "data"));
    if (::fchmod(temporary.fd(), static_cast<mode_t>(mode)) != 0) {
        throw_io_error(errno);
    }
    write_all(temporary.fd(), bytes);
    commit_temporary(temporary, directory.get(), final_name);
}

void AtomicWriteBatch::add(const fs::path& target, std::string_view bytes, unsigned mode) {
    const fs::path parent = parent_of(target);
    if (parent.empty()) {
        throw_error("invalid output path " + display_path(target));
    }
    auto found = directories_.find(parent);
    if (found == directories_.end()) {
        make_directory_chain(parent);
        UniqueFd fd = open_directory(parent);
        if (!fd) {
            throw_io_error(errno);
        }
        found = directories_.emplace(parent, std::move(fd)).first;
    }
    const int directory = found->second.get();
    TemporaryFile temporary =
        create_temporary_at(directory, parent, name_for_temporary(final_name_of(target), "data"));
    if (::fchmod(temporary.fd(), static_cast<mode_t>(mode)) != 0) {
        throw_io_error(errno);
    }
    write_all(temporary.fd(), bytes);
    if (sync_ == Sync::EachFile) {
        fsync_or_throw(temporary.fd());
    }
    // Only the name is needed from here on; many staged files must not hold many descriptors.
    if (temporary.descriptor().close() != 0) {
        throw_io_error(errno);
    }
    staged_.push_back(Staged{directory, target, std::move(temporary)});
}

void AtomicWriteBatch::sync_filesystems() const {
    std::set<dev_t> synced;
    for (const auto& [path, directory] : directories_) {
        struct stat st {};
        if (::fstat(directory.get(), &st) != 0) {
            throw_io_error(errno);
        }
        if (!synced.insert(st.st_dev).second) {
            continue;
        }
        if (::syncfs(directory.get()) != 0) {
            throw_io_error(errno);
        }
        // The write barrier: syncfs issues no cache flush where the filesystem has no sync_fs
        // of its own (FAT), fsync does everywhere, and costs next to nothing after the syncfs.
        fsync_or_throw(directory.get());
    }
}

void AtomicWriteBatch::discard_after(std::size_t count) {
    while (staged_.size() > count) {
        staged_.pop_back();
    }
}

void AtomicWriteBatch::commit(const std::function<void(const fs::path& target)>& before_rename) {
    if (sync_ == Sync::WholeFilesystem) {
        sync_filesystems();
    }
    std::set<int> renamed_in;
    for (Staged& staged : staged_) {
        if (before_rename) {
            before_rename(staged.target);
        }
        const int fd = staged.directory;
        if (::renameat(fd, staged.temporary.path().filename().c_str(), fd,
                       final_name_of(staged.target).c_str()) != 0) {
            throw_io_error(errno);
        }
        staged.temporary.keep();
        renamed_in.insert(staged.directory);
    }
    if (sync_ == Sync::WholeFilesystem) {
        sync_filesystems();
    } else {
        for (const int directory : renamed_in) {
            fsync_or_throw(directory);
        }
    }
    staged_.clear();
    directories_.clear();
}

}  // namespace snapwright::base
