#include "system/archive_location.hpp"

#include <btrfsutil.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "base/app_error.hpp"
#include "base/directory.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"
#include "system/subvolume.hpp"

namespace snapwright::system {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void throw_unreachable(const fs::path& archive_path) {
    base::throw_error("archive is not reachable at " + base::display_path(archive_path) +
                      ": ARCHIVE_PATH is not the archive's Btrfs subvolume here, as happens when "
                      "running from a snapshot whose root does not contain it");
}

// The filesystem type of the innermost mount holding `path`, the latest of equals winning as
// stacked mounts do; nothing when no row holds it.
std::optional<std::string> filesystem_type_at(const MountTable& mounts, const fs::path& path) {
    const MountRow* holder = nullptr;
    std::size_t holder_depth = 0;
    for (const MountRow& row : mounts) {
        if (!base::path_starts_with(path, row.target)) {
            continue;
        }
        const std::size_t depth = base::path_components(row.target).size();
        if (holder == nullptr || depth >= holder_depth) {
            holder = &row;
            holder_depth = depth;
        }
    }
    if (holder == nullptr) {
        return std::nullopt;
    }
    return holder->fstype.value_or("");
}

// Whether generate could create the missing `archive_path`: the nearest directory above it that
// exists is on Btrfs and not read-only. What cannot be judged is left to the creation itself.
bool could_be_created(const fs::path& archive_path, const MountTable& mounts) {
    fs::path ancestor = archive_path.lexically_normal();
    while (ancestor.has_relative_path()) {
        ancestor = ancestor.parent_path();
        const base::FileKind kind = base::followed_kind_or_absent(ancestor);
        if (kind == base::FileKind::Absent) {
            continue;
        }
        if (kind != base::FileKind::Directory) {
            return true;
        }
        const std::optional<std::string> type = filesystem_type_at(mounts, ancestor);
        if (type && *type != "btrfs") {
            return false;
        }
        // A read-only subvolume or mount says so before any permission is weighed, so even an
        // ordinary user learns it.
        return ::faccessat(AT_FDCWD, ancestor.c_str(), W_OK, AT_EACCESS) == 0 || errno != EROFS;
    }
    return true;
}

}  // namespace

void check_archive_reachable(const fs::path& archive_path, const MountTable& mounts) {
    const base::FileInfo info =
        base::inspect(archive_path, "inspect archive path " + base::display_path(archive_path));
    if (info.absent()) {
        if (!could_be_created(archive_path, mounts)) {
            throw_unreachable(archive_path);
        }
        return;
    }
    if (!info.directory()) {
        base::throw_error("archive path is not a real directory: " +
                          base::display_path(archive_path));
    }
    if (::btrfs_util_is_subvolume(archive_path.c_str()) == BTRFS_UTIL_OK) {
        return;
    }
    if (base::list_directory(archive_path).empty()) {
        throw_unreachable(archive_path);
    }
    check_archive_subvolume(archive_path);
}

}  // namespace snapwright::system
