#include "store/object_walk.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/app_error.hpp"
#include "base/atomic_file.hpp"
#include "base/checked.hpp"
#include "base/directory.hpp"
#include "base/directory_chain.hpp"
#include "base/file_io.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "store/object_layout.hpp"

namespace snapwright::store {
namespace {

constexpr int kNoFollowDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens `name` inside `parent` as a real directory. None when it is absent or not a directory;
// a symbolic link is refused.
std::optional<base::UniqueFd> open_real_directory(int parent, const std::string& name,
                                                  const fs::path& shown) {
    const std::string refusal =
        "refusing to traverse non-directory path " + base::display_path(shown);
    const base::FileInfo info = base::inspect_at(parent, name);
    if (info.symlink()) {
        base::throw_error(refusal);
    }
    if (!info.directory()) {
        return std::nullopt;
    }
    base::UniqueFd fd(::openat(parent, name.c_str(), kNoFollowDirectory));
    if (!fd) {
        if (errno == ELOOP || errno == ENOTDIR) {
            base::throw_error(refusal);
        }
        base::throw_io_error(errno);
    }
    return fd;
}

std::optional<ObjectTree> open_followed_tree(const fs::path& root) {
    const std::string algorithm(kObjectAlgorithm);
    if (base::followed_kind_or_absent(root / "objects" / algorithm) != base::FileKind::Directory) {
        return std::nullopt;
    }
    ObjectTree tree;
    tree.objects = base::open_directory(root / "objects");
    if (!tree.objects) {
        base::throw_io_error(errno);
    }
    tree.algorithm.reset(
        ::openat(tree.objects.get(), algorithm.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!tree.algorithm) {
        base::throw_io_error(errno);
    }
    return tree;
}

// Goes through descriptors opened without following links from the root down.
std::optional<ObjectTree> open_real_tree(const fs::path& root) {
    const base::FileInfo info = base::inspect(root);
    if (info.symlink()) {
        base::throw_error("data root is not a real directory: " + base::display_path(root));
    }
    if (!info.directory()) {
        return std::nullopt;
    }
    const base::UniqueFd root_fd = base::open_directory(root, O_NOFOLLOW);
    if (!root_fd) {
        base::throw_io_error(errno);
    }
    const fs::path objects_path = root / "objects";
    auto objects = open_real_directory(root_fd.get(), "objects", objects_path);
    if (!objects) {
        return std::nullopt;
    }
    const std::string algorithm(kObjectAlgorithm);
    auto algorithm_directory =
        open_real_directory(objects->get(), algorithm, objects_path / algorithm);
    if (!algorithm_directory) {
        return std::nullopt;
    }
    return ObjectTree{std::move(*objects), std::move(*algorithm_directory)};
}

}  // namespace

std::optional<ObjectTree> open_object_tree(const fs::path& root, TopLinks links) {
    return links == TopLinks::Follow ? open_followed_tree(root) : open_real_tree(root);
}

void for_each_object(const ObjectTree& tree,
                     const std::function<void(int fan_out, const std::string& name,
                                              const base::FileInfo& info)>& visit,
                     const std::function<void(const std::string& fan_out)>& after_fan_out) {
    const int algorithm = tree.algorithm.get();
    for (const std::string& fan_out : base::list_directory_at(algorithm)) {
        // A directory whose creation was interrupted never held an object, and after a torn
        // creation on FAT may not even be readable.
        if (base::temporary_target(fan_out) || !base::inspect_at(algorithm, fan_out).directory()) {
            continue;
        }
        const base::UniqueFd fan_out_fd(::openat(algorithm, fan_out.c_str(), kNoFollowDirectory));
        if (!fan_out_fd) {
            base::throw_io_error(errno);
        }
        for (const std::string& name : base::list_directory_at(fan_out_fd.get())) {
            const base::FileInfo info = base::inspect_at(fan_out_fd.get(), name);
            if (!info.absent()) {
                visit(fan_out_fd.get(), name, info);
            }
        }
        if (after_fan_out) {
            after_fan_out(fan_out);
        }
    }
}

StoreStatistics store_statistics(const fs::path& root) {
    StoreStatistics statistics;
    const auto tree = open_object_tree(root, TopLinks::Follow);
    if (!tree) {
        return statistics;
    }
    for_each_object(*tree, [&](int, const std::string&, const base::FileInfo& info) {
        if (info.regular()) {
            ++statistics.objects;
            statistics.bytes = base::saturating_add(statistics.bytes, info.size);
        }
    });
    return statistics;
}

GarbageCollection collect_garbage(const fs::path& root, const std::set<ObjectId>& referenced) {
    std::set<std::string> keep;
    for (const ObjectId& id : referenced) {
        validate_object_id(id);
        keep.insert(id.digest);
    }
    GarbageCollection collected;
    const auto tree = open_object_tree(root, TopLinks::Refuse);
    if (!tree) {
        return collected;
    }
    const auto collect = [&](int fan_out, const std::string& name, const base::FileInfo& info) {
        if (keep.count(base::lossy_utf8(name)) > 0 || !(info.regular() || info.symlink())) {
            return;
        }
        if (::unlinkat(fan_out, name.c_str(), 0) != 0) {
            base::throw_io_error(errno);
        }
        base::fsync_or_throw(fan_out);
        ++collected.removed_objects;
        collected.removed_bytes = base::saturating_add(collected.removed_bytes, info.size);
    };
    for_each_object(*tree, collect, [&](const std::string& fan_out) {
        (void)base::remove_if_empty_at(tree->algorithm.get(), fan_out);
    });
    (void)base::remove_if_empty_at(tree->objects.get(), std::string(kObjectAlgorithm));
    return collected;
}

std::uint64_t remove_object_temporaries(const fs::path& root) {
    std::uint64_t removed = 0;
    const fs::path objects = root / "objects";
    for (const fs::path& level : {root, objects, objects / std::string(kObjectAlgorithm)}) {
        if (base::kind_or_absent(level) != base::FileKind::Directory) {
            return removed;
        }
    }
    const auto tree = open_object_tree(root, TopLinks::Refuse);
    if (!tree) {
        return removed;
    }
    for_each_object(*tree, [&](int fan_out, const std::string& name, const base::FileInfo& info) {
        const std::optional<std::string_view> target = base::temporary_target(name);
        if (!info.regular() || !target || !is_sha256_digest(*target, true)) {
            return;
        }
        if (::unlinkat(fan_out, name.c_str(), 0) != 0) {
            if (errno == ENOENT) {
                return;
            }
            base::throw_io_error(errno);
        }
        base::fsync_or_throw(fan_out);
        ++removed;
    });
    return removed;
}

std::vector<fs::path> remove_directory_leftovers(const fs::path& root) {
    std::vector<fs::path> left;
    const fs::path objects = root / "objects";
    const std::string algorithm(kObjectAlgorithm);
    const struct {
        fs::path directory;
        std::function<bool(std::string_view)> accept;
    } levels[] = {
        {root, [](std::string_view target) { return target == "objects"; }},
        {objects, [&](std::string_view target) { return target == algorithm; }},
        {objects / algorithm,
         [](std::string_view target) { return target.size() == 2 || target == "invalid"; }},
    };
    for (const auto& level : levels) {
        if (base::kind_or_absent(level.directory) != base::FileKind::Directory) {
            break;
        }
        std::vector<fs::path> here =
            base::remove_directory_temporaries(level.directory, level.accept);
        left.insert(left.end(), here.begin(), here.end());
    }
    return left;
}

}  // namespace snapwright::store
