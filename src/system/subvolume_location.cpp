#include "system/subvolume_location.hpp"

#include <btrfsutil.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/unique_fd.hpp"
#include "system/subvolume_facts.hpp"

namespace snapwright::system {
namespace {

// The top level's subvolume ID.
constexpr std::uint64_t kTopLevelId = 5;

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};
using LibraryText = std::unique_ptr<char, FreeDeleter>;

struct IteratorDeleter {
    void operator()(btrfs_util_subvolume_iterator* iterator) const {
        ::btrfs_util_destroy_subvolume_iterator(iterator);
    }
};

}  // namespace

std::optional<SubvolumeLocation> read_subvolume_location(const std::filesystem::path& path) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW));
    if (!fd) {
        return std::nullopt;
    }
    // The path lookup answers for the subvolume that contains the descriptor, so a plain
    // directory inside one would be taken for that subvolume.
    if (::btrfs_util_is_subvolume_fd(fd.get()) != BTRFS_UTIL_OK) {
        return std::nullopt;
    }
    struct btrfs_ioctl_fs_info_args info {};
    if (::ioctl(fd.get(), BTRFS_IOC_FS_INFO, &info) != 0) {
        return std::nullopt;
    }
    char* raw = nullptr;
    if (::btrfs_util_subvolume_path_fd(fd.get(), 0, &raw) != BTRFS_UTIL_OK) {
        return std::nullopt;
    }
    const LibraryText text(raw);
    return SubvolumeLocation{subvolume_uuid_text(info.fsid), text.get()};
}

void for_each_subvolume_path(const std::filesystem::path& path,
                             const std::function<void(std::string_view)>& visit) {
    const std::string failure = "list the Btrfs subvolumes of " + base::display_path(path);
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
    if (!fd) {
        base::throw_os_error(failure, errno);
    }
    btrfs_util_subvolume_iterator* raw = nullptr;
    if (::btrfs_util_create_subvolume_iterator_fd(fd.get(), kTopLevelId, 0, &raw) !=
        BTRFS_UTIL_OK) {
        base::throw_os_error(failure, errno);
    }
    const std::unique_ptr<btrfs_util_subvolume_iterator, IteratorDeleter> iterator(raw);
    for (;;) {
        char* entry = nullptr;
        const btrfs_util_error status =
            ::btrfs_util_subvolume_iterator_next(iterator.get(), &entry, nullptr);
        if (status == BTRFS_UTIL_ERROR_STOP_ITERATION) {
            return;
        }
        if (status != BTRFS_UTIL_OK) {
            base::throw_os_error(failure, errno);
        }
        const LibraryText text(entry);
        visit(text.get());
    }
}

std::set<std::string> list_subvolume_paths(const std::filesystem::path& path) {
    std::set<std::string> paths;
    for_each_subvolume_path(path, [&paths](std::string_view found) { paths.emplace(found); });
    return paths;
}

}  // namespace snapwright::system
