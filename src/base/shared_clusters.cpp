#include "base/shared_clusters.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cerrno>

#include "base/unique_fd.hpp"

namespace snapwright::base {
namespace {

std::optional<std::uint64_t> first_block(int fd) {
    int block = 0;
    if (::ioctl(fd, FIBMAP, &block) != 0 || block < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(block);
}

constexpr int kReadNoFollow = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

}  // namespace

bool lacks_journal(int fd) {
    struct statfs status {};
    return ::fstatfs(fd, &status) == 0 && status.f_type == MSDOS_SUPER_MAGIC;
}

ClusterSharing compare_first_blocks(std::optional<std::uint64_t> temporary,
                                    std::optional<std::uint64_t> target) {
    if (temporary == std::uint64_t{0} || target == std::uint64_t{0}) {
        return ClusterSharing::Separate;
    }
    if (!temporary || !target) {
        return ClusterSharing::Unknown;
    }
    return *temporary == *target ? ClusterSharing::Shared : ClusterSharing::Separate;
}

ClusterSharing first_cluster_sharing(int directory, const std::string& temporary,
                                     const std::string& target) {
    if (!lacks_journal(directory)) {
        return ClusterSharing::Separate;
    }
    const UniqueFd target_fd(::openat(directory, target.c_str(), kReadNoFollow));
    struct stat status {};
    if (!target_fd) {
        // Nothing live under that name, or a link that is no entry file of ours.
        return errno == ENOENT || errno == ELOOP ? ClusterSharing::Separate
                                                 : ClusterSharing::Unknown;
    }
    if (::fstat(target_fd.get(), &status) != 0) {
        return ClusterSharing::Unknown;
    }
    if (!S_ISREG(status.st_mode)) {
        return ClusterSharing::Separate;
    }
    const UniqueFd temporary_fd(::openat(directory, temporary.c_str(), kReadNoFollow));
    if (!temporary_fd) {
        return errno == ENOENT || errno == ELOOP ? ClusterSharing::Separate
                                                 : ClusterSharing::Unknown;
    }
    return compare_first_blocks(first_block(temporary_fd.get()), first_block(target_fd.get()));
}

}  // namespace snapwright::base
