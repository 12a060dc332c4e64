#include "store/object_store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "base/app_error.hpp"
#include "base/checked.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/unique_fd.hpp"
#include "store/fs_routines.hpp"

namespace snapwright::store {
namespace {

constexpr std::string_view kAlgorithm = "sha256";
constexpr std::size_t kDigestLength = 64;

// The first two characters of the digest; "invalid" for an id too short to have them.
std::string fan_out_name(const std::string& digest) {
    std::size_t pos = 0;
    for (int taken = 0; taken < 2; ++taken) {
        if (pos >= digest.size()) {
            return "invalid";
        }
        base::decode_utf8(digest, pos);
    }
    return digest.substr(0, pos);
}

fs::path fan_out_relative(const std::string& digest) {
    return fs::path("objects") / std::string(kAlgorithm) / fan_out_name(digest);
}

// lstat of an object path: false when it is absent, "inspect object {}" for other failures.
bool inspect_object(const fs::path& path, struct stat& st) {
    if (::lstat(path.c_str(), &st) == 0) {
        return true;
    }
    if (errno == ENOENT) {
        return false;
    }
    base::throw_os_error("inspect object " + base::display_path(path), errno);
}

// The digest of the regular file at `path`, or none when the path is no longer a regular file
// (replaced by a link or something else since it was inspected).
std::optional<std::string> digest_of_regular_file(const fs::path& path) {
    const base::UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        if (errno == ELOOP || errno == ENOENT) {
            return std::nullopt;
        }
        base::throw_os_error("open " + base::display_path(path) + " for hashing", errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        base::throw_io_error(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return hash_descriptor(fd.get()).digest;
}

// Hashes a fresh copy at `target` and removes it when it does not match.
void verify_copy(const fs::path& target, const std::string& digest) {
    if (digest_of_regular_file(target) != digest) {
        ::unlink(target.c_str());
        base::throw_error("object verification failed after copying " + base::display_path(target));
    }
}

// The names in the directory open at `fd` (the descriptor stays usable).
std::vector<std::string> list_directory_at(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        base::throw_io_error(errno);
    }
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(copy), ::closedir);
    if (!listing) {
        const int error = errno;
        ::close(copy);
        base::throw_io_error(error);
    }
    ::rewinddir(listing.get());
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
        errno = 0;
    }
    if (errno != 0) {
        base::throw_io_error(errno);
    }
    return names;
}

std::vector<std::string> list_directory(const fs::path& directory) {
    const base::UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        base::throw_io_error(errno);
    }
    return list_directory_at(fd.get());
}

// Opens `name` inside `parent` as a real directory. None when it is absent or not a directory;
// a symbolic link is refused, since everything below it would be someone else's files.
std::optional<base::UniqueFd> open_store_directory(int parent, const std::string& name,
                                                   const fs::path& shown) {
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        base::throw_io_error(errno);
    }
    if (S_ISLNK(st.st_mode)) {
        base::throw_error("refusing to traverse non-directory path " + base::display_path(shown));
    }
    if (!S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) {
            base::throw_error("refusing to traverse non-directory path " +
                              base::display_path(shown));
        }
        base::throw_io_error(errno);
    }
    return base::UniqueFd(fd);
}

void fsync_directory_fd(int fd) {
    if (::fsync(fd) != 0) {
        base::throw_io_error(errno);
    }
}

// Removes the directory `name` in `parent` if it is empty (the kernel decides atomically).
void remove_if_empty_at(int parent, const std::string& name) {
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) {
            return;
        }
        base::throw_io_error(errno);
    }
    fsync_directory_fd(parent);
}

}  // namespace

void validate_object_id(const ObjectId& id) {
    if (id.algorithm != kAlgorithm) {
        base::throw_error("unsupported object hash algorithm: " + id.algorithm);
    }
    if (id.digest.size() != kDigestLength) {
        base::throw_error("invalid SHA-256 object digest");
    }
    for (char c : id.digest) {
        if (!base::is_ascii_hex_digit(c)) {
            base::throw_error("invalid SHA-256 object digest");
        }
    }
}

fs::path object_path(const fs::path& root, const ObjectId& id) {
    return root / "objects" / id.algorithm / fan_out_name(id.digest) / id.digest;
}

std::string boot_object_path(const fs::path& boot_data_root, const fs::path& boot_data_relative,
                             const ObjectId& id) {
    const std::vector<std::string> root = base::path_components(boot_data_root);
    const std::vector<std::string> object = base::path_components(object_path(boot_data_root, id));
    if (!base::path_starts_with(object_path(boot_data_root, id), boot_data_root)) {
        base::throw_error("object path escaped the data root");
    }
    std::vector<std::string> names = base::path_components(boot_data_relative);
    names.insert(names.end(), object.begin() + static_cast<std::ptrdiff_t>(root.size()),
                 object.end());
    std::string text;
    for (const std::string& name : names) {
        if (!base::is_ordinary_name(name)) {
            continue;
        }
        text += "/";
        text += base::lossy_utf8(name);
    }
    return text.empty() ? "/" : text;
}

AssetRef import_asset(const fs::path& root, const fs::path& source, AssetKind kind) {
    const std::string shown = base::display_path(source);
    const std::string not_regular = "asset source is not a regular file: " + shown;
    struct stat st {};
    if (::lstat(source.c_str(), &st) != 0) {
        base::throw_os_error("inspect asset " + shown, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        base::throw_error(not_regular);
    }
    // Everything after the first look goes through one descriptor, so the digest, the size
    // and the copied bytes all come from the same file even if the path is replaced meanwhile.
    // O_NONBLOCK keeps a FIFO swapped in from blocking the open.
    const base::UniqueFd fd(
        ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        if (errno == ELOOP) {
            base::throw_error(not_regular);
        }
        base::throw_os_error("inspect asset " + shown, errno);
    }
    if (::fstat(fd.get(), &st) != 0) {
        base::throw_os_error("inspect asset " + shown, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        base::throw_error(not_regular);
    }
    const DescriptorHash hashed = hash_descriptor(fd.get());
    const ObjectId id{std::string(kAlgorithm), hashed.digest};

    const fs::path target = ensure_directory(root, fan_out_relative(id.digest)) / id.digest;
    struct stat existing {};
    const bool present = inspect_object(target, existing);
    const bool intact =
        present && S_ISREG(existing.st_mode) && digest_of_regular_file(target) == id.digest;
    if (!intact) {
        copy_descriptor_atomically(fd.get(), target);
        // Verifies the bytes that landed: the source may have been rewritten in place.
        verify_copy(target, id.digest);
    }

    const std::string name = source.filename().native();
    return AssetRef{id, kind, base::is_valid_utf8(name) ? name : std::string("asset"), hashed.size};
}

bool verify_object(const fs::path& root, const ObjectId& id) {
    validate_object_id(id);
    const fs::path path = object_path(root, id);
    struct stat st {};
    if (!inspect_object(path, st) || !S_ISREG(st.st_mode)) {
        return false;
    }
    return digest_of_regular_file(path) == id.digest;
}

bool copy_object(const fs::path& destination_root, const fs::path& source_root,
                 const ObjectId& id) {
    validate_object_id(id);
    if (verify_object(destination_root, id)) {
        return false;
    }
    if (!verify_object(source_root, id)) {
        base::throw_error("source object is missing or corrupted: " + id.algorithm + ":" +
                          id.digest);
    }
    const fs::path target =
        ensure_directory(destination_root, fan_out_relative(id.digest)) / id.digest;
    copy_file_atomically(object_path(source_root, id), target);
    if (!verify_object(destination_root, id)) {
        ::unlink(target.c_str());
        base::throw_error("object verification failed after copying " + base::display_path(target));
    }
    return true;
}

std::optional<std::uint64_t> object_size(const fs::path& root, const ObjectId& id) {
    validate_object_id(id);
    struct stat st {};
    if (!inspect_object(object_path(root, id), st) || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

bool remove_object(const fs::path& root, const ObjectId& id) {
    validate_object_id(id);
    const fs::path path = object_path(root, id);
    struct stat st {};
    if (!inspect_object(path, st)) {
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        base::throw_error("refusing to remove non-file object path " + base::display_path(path));
    }
    if (::unlink(path.c_str()) != 0) {
        base::throw_io_error(errno);
    }
    const fs::path fan_out = path.parent_path();
    sync_directory(fan_out);
    remove_empty_directory(fan_out);
    remove_empty_directory(fan_out.parent_path());
    return true;
}

StoreStatistics store_statistics(const fs::path& root) {
    StoreStatistics statistics;
    const fs::path algorithm_directory = root / "objects" / std::string(kAlgorithm);
    struct stat st {};
    if (::stat(algorithm_directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return statistics;
    }
    for (const std::string& fan_out : list_directory(algorithm_directory)) {
        const fs::path fan_out_path = algorithm_directory / fan_out;
        if (::lstat(fan_out_path.c_str(), &st) != 0) {
            base::throw_io_error(errno);
        }
        if (!S_ISDIR(st.st_mode)) {
            continue;
        }
        for (const std::string& name : list_directory(fan_out_path)) {
            if (::lstat((fan_out_path / name).c_str(), &st) != 0) {
                base::throw_io_error(errno);
            }
            if (S_ISREG(st.st_mode)) {
                ++statistics.objects;
                statistics.bytes =
                    base::saturating_add(statistics.bytes, static_cast<std::uint64_t>(st.st_size));
            }
        }
    }
    return statistics;
}

GarbageCollection collect_garbage(const fs::path& root, const std::set<ObjectId>& referenced) {
    std::set<std::string> keep;
    for (const ObjectId& id : referenced) {
        validate_object_id(id);
        keep.insert(id.digest);
    }
    GarbageCollection collected;

    // The walk goes through directory descriptors opened without following links: a link
    // planted at objects/ or objects/sha256 must never turn the collection loose on the files
    // it points to.
    struct stat st {};
    if (::lstat(root.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return collected;
        }
        base::throw_io_error(errno);
    }
    if (S_ISLNK(st.st_mode)) {
        base::throw_error("data root is not a real directory: " + base::display_path(root));
    }
    if (!S_ISDIR(st.st_mode)) {
        return collected;
    }
    const base::UniqueFd root_fd(
        ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root_fd) {
        base::throw_io_error(errno);
    }
    const fs::path objects_path = root / "objects";
    const auto objects = open_store_directory(root_fd.get(), "objects", objects_path);
    if (!objects) {
        return collected;
    }
    const std::string algorithm(kAlgorithm);
    const fs::path algorithm_path = objects_path / algorithm;
    const auto algorithm_directory =
        open_store_directory(objects->get(), algorithm, algorithm_path);
    if (!algorithm_directory) {
        return collected;
    }

    for (const std::string& fan_out : list_directory_at(algorithm_directory->get())) {
        if (::fstatat(algorithm_directory->get(), fan_out.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            base::throw_io_error(errno);
        }
        if (!S_ISDIR(st.st_mode)) {
            continue;
        }
        const int opened = ::openat(algorithm_directory->get(), fan_out.c_str(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (opened < 0) {
            base::throw_io_error(errno);
        }
        const base::UniqueFd fan_out_fd(opened);
        for (const std::string& name : list_directory_at(fan_out_fd.get())) {
            if (keep.count(base::lossy_utf8(name)) > 0) {
                continue;
            }
            if (::fstatat(fan_out_fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                base::throw_io_error(errno);
            }
            if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
                continue;
            }
            if (::unlinkat(fan_out_fd.get(), name.c_str(), 0) != 0) {
                base::throw_io_error(errno);
            }
            fsync_directory_fd(fan_out_fd.get());
            ++collected.removed_objects;
            collected.removed_bytes = base::saturating_add(collected.removed_bytes,
                                                           static_cast<std::uint64_t>(st.st_size));
        }
        remove_if_empty_at(algorithm_directory->get(), fan_out);
    }
    remove_if_empty_at(objects->get(), algorithm);
    return collected;
}

}  // namespace snapwright::store
