#include "store/object_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "base/app_error.hpp"
#include "base/atomic_file.hpp"
#include "base/directory_chain.hpp"
#include "base/file_io.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/unique_fd.hpp"
#include "store/object_walk.hpp"

namespace snapwright::store {
namespace {

// What is at an object path; "inspect object {}" for failures other than absence. A fan-out
// directory replaced by a file (ENOTDIR) means the object is absent, not that the store cannot
// be read.
base::FileInfo inspect_object(const fs::path& path) {
    try {
        return base::inspect(path, "inspect object " + base::display_path(path));
    } catch (const base::AppError& error) {
        if (error.os_code() == ENOTDIR) {
            return base::FileInfo{};
        }
        throw;
    }
}

// The digest of the regular file at `path`, or none when the path is no longer a regular file
// (replaced by a link or something else since it was inspected). With the run's `cache`, a file
// already hashed in this run and unchanged since is not read again.
std::optional<std::string> digest_of_regular_file(const fs::path& path,
                                                  HashCache* cache = nullptr) {
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
    return (cache ? cache->hash(fd.get(), st) : hash_descriptor(fd.get())).digest;
}

// Hashes a fresh copy at `target` and removes it when it does not match.
void verify_copy(const fs::path& target, const std::string& digest) {
    if (digest_of_regular_file(target) != digest) {
        ::unlink(target.c_str());
        base::throw_error("object verification failed after copying " + base::display_path(target));
    }
}

}  // namespace

AssetRef import_asset(const fs::path& root, const fs::path& source, AssetKind kind,
                      HashCache* cache) {
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
    const DescriptorHash hashed = cache ? cache->hash(fd.get(), st) : hash_descriptor(fd.get());
    const ObjectId id{std::string(kObjectAlgorithm), hashed.digest};

    const fs::path target = base::ensure_directory(root, fan_out_relative(id.digest)) / id.digest;
    const bool intact =
        (cache && cache->verified(target)) ||
        (inspect_object(target).regular() && digest_of_regular_file(target) == id.digest);
    if (!intact) {
        base::copy_descriptor_atomically(fd.get(), target);
        // Verifies the bytes that landed: the source may have been rewritten in place.
        verify_copy(target, id.digest);
    }
    if (cache) {
        cache->mark_verified(target);
    }

    const std::string name = source.filename().native();
    return AssetRef{id, kind, base::is_valid_utf8(name) ? name : std::string("asset"), hashed.size};
}

AssetRef import_asset_range(const fs::path& root, int source, std::uint64_t offset,
                            std::uint64_t length, AssetKind kind, std::string original_name) {
    const DescriptorHash hashed = hash_descriptor_range(source, offset, length);
    const ObjectId id{std::string(kObjectAlgorithm), hashed.digest};
    const fs::path target = base::ensure_directory(root, fan_out_relative(id.digest)) / id.digest;
    if (!inspect_object(target).regular() || digest_of_regular_file(target) != id.digest) {
        base::copy_range_atomically(source, offset, length, target);
        // The file may have been rewritten in place since it was hashed.
        verify_copy(target, id.digest);
    }
    return AssetRef{id, kind, std::move(original_name), hashed.size};
}

bool verify_object(const fs::path& root, const ObjectId& id, HashCache* cache) {
    validate_object_id(id);
    const fs::path path = object_path(root, id);
    return inspect_object(path).regular() && digest_of_regular_file(path, cache) == id.digest;
}

bool copy_object(const fs::path& destination_root, const fs::path& source_root, const ObjectId& id,
                 HashCache* cache) {
    validate_object_id(id);
    if (verify_object(destination_root, id, cache)) {
        return false;
    }
    const fs::path source = object_path(source_root, id);
    if (!(cache && cache->verified(source))) {
        if (!verify_object(source_root, id)) {
            base::throw_error("source object is missing or corrupted: " + id.algorithm + ":" +
                              id.digest);
        }
        if (cache) {
            cache->mark_verified(source);
        }
    }
    const fs::path target = base::ensure_directory(destination_root, fan_out_relative(id.digest),
                                                   base::NewDirectory::Renamed) /
                            id.digest;
    base::copy_file_atomically(source, target);
    if (!verify_object(destination_root, id)) {
        ::unlink(target.c_str());
        base::throw_error("object verification failed after copying " + base::display_path(target));
    }
    return true;
}

std::optional<std::uint64_t> object_size(const fs::path& root, const ObjectId& id) {
    validate_object_id(id);
    const base::FileInfo info = inspect_object(object_path(root, id));
    if (!info.regular()) {
        return std::nullopt;
    }
    return info.size;
}

bool remove_object(const fs::path& root, const ObjectId& id) {
    validate_object_id(id);
    const fs::path path = object_path(root, id);
    const base::FileInfo info = inspect_object(path);
    if (info.absent()) {
        return false;
    }
    if (!info.regular() && !info.symlink()) {
        base::throw_error("refusing to remove non-file object path " + base::display_path(path));
    }
    if (::unlink(path.c_str()) != 0) {
        base::throw_io_error(errno);
    }
    const fs::path fan_out = path.parent_path();
    base::sync_directory(fan_out);
    (void)base::remove_if_empty(fan_out);
    (void)base::remove_if_empty(fan_out.parent_path());
    return true;
}

bool clear_fan_out(const fs::path& root, const ObjectId& id) {
    validate_object_id(id);
    const fs::path fan_out = object_path(root, id).parent_path();
    const base::FileKind kind = base::kind_or_absent(fan_out);
    if (kind == base::FileKind::Absent || kind == base::FileKind::Directory ||
        kind == base::FileKind::Symlink) {
        return false;
    }
    const auto tree = open_object_tree(root, TopLinks::Refuse);
    if (!tree) {
        return false;
    }
    const int algorithm = tree->algorithm.get();
    const std::string name = fan_out.filename().native();
    const base::FileInfo info = base::inspect_at(algorithm, name);
    if (info.absent() || info.directory() || info.symlink()) {
        return false;
    }
    if (::unlinkat(algorithm, name.c_str(), 0) != 0) {
        base::throw_io_error(errno);
    }
    base::fsync_or_throw(algorithm);
    return true;
}

}  // namespace snapwright::store
