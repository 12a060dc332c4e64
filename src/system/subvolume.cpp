#include "system/subvolume.hpp"

#include <btrfsutil.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "system/process.hpp"
#include "system/subvolume_facts.hpp"

namespace snapwright::system {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUuidKey = "UUID:";
constexpr std::string_view kSnapshotListKey = "Snapshot(s):";

std::string show_subvolume(const fs::path& path, const std::string& failure_prefix) {
    return run_checked("btrfs", {"subvolume", "show", "--", path.native()},
                       "execute btrfs subvolume show", failure_prefix);
}

// The directory that holds the archive, read from the path's components so that a trailing
// "/" or "." cannot turn the archive path itself into its own parent.
std::optional<fs::path> archive_parent(const fs::path& archive_path) {
    const std::vector<std::string> components = base::path_components(archive_path);
    if (components.size() < 2 || !base::is_ordinary_name(components.back())) {
        return std::nullopt;
    }
    fs::path parent;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        parent /= components[i];
    }
    return parent;
}

}  // namespace

std::optional<std::string> parse_subvolume_uuid(std::string_view show_output) {
    for (const std::string_view raw_line : base::split_lines(show_output)) {
        const std::string_view line = base::trim(raw_line);
        // The snapshot list names other subvolumes, whose names anyone who can make a snapshot
        // chooses; a top level without a UUID must not take one from there.
        if (line == kSnapshotListKey) {
            break;
        }
        if (line.size() <= 4 || !line.starts_with(kUuidKey)) {
            continue;
        }
        const std::string_view value = base::trim(line.substr(kUuidKey.size()));
        if (value.empty()) {
            continue;
        }
        std::string uuid = base::to_lower_ascii(value);
        // Old filesystems show "-" for a top level that never got a UUID.
        if (uuid != "-") {
            return uuid;
        }
    }
    return std::nullopt;
}

std::string read_subvolume_uuid(const fs::path& path) {
    // The tool also walks every other subvolume of the filesystem to list the snapshots, which
    // with thousands of them takes a while; the subvolume's own facts carry the same UUID. The
    // tool is asked only when they cannot be read or carry none, for its words on why.
    if (const std::optional<SubvolumeFacts> facts = read_subvolume_facts(path);
        facts && facts->uuid != "-") {
        return facts->uuid;
    }
    const std::string shown = base::display_path(path);
    const std::string output =
        show_subvolume(path, "cannot inspect Btrfs subvolume " + shown + ": ");
    std::optional<std::string> uuid = parse_subvolume_uuid(output);
    if (!uuid) {
        base::throw_error("Btrfs subvolume " + shown + " has no UUID");
    }
    return *uuid;
}

void check_archive_subvolume(const fs::path& archive_path) {
    // What the tool would accept, without its walk over every other subvolume; the tool is asked
    // only about what this does not confirm, for its words on why not.
    if (::btrfs_util_is_subvolume(archive_path.c_str()) == BTRFS_UTIL_OK) {
        return;
    }
    (void)show_subvolume(archive_path, "ARCHIVE_PATH must be a Btrfs subvolume: " +
                                           base::display_path(archive_path) + ": ");
}

void ensure_archive_subvolume(const fs::path& archive_path) {
    const std::string shown = base::display_path(archive_path);
    struct stat status {};
    if (::lstat(archive_path.c_str(), &status) == 0) {
        if (!S_ISDIR(status.st_mode)) {
            base::throw_error("archive path is not a real directory: " + shown);
        }
        check_archive_subvolume(archive_path);
        return;
    }
    if (errno != ENOENT) {
        base::throw_os_error("inspect archive path " + shown, errno);
    }

    const std::optional<fs::path> parent = archive_parent(archive_path);
    if (!parent) {
        base::throw_error("archive path has no parent: " + shown);
    }
    std::error_code error;
    fs::create_directories(*parent, error);
    if (error) {
        base::throw_io_error(error.value());
    }
    if (::lstat(parent->c_str(), &status) != 0) {
        base::throw_io_error(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        base::throw_error("archive parent is not a real directory: " + base::display_path(*parent));
    }

    (void)run_checked("btrfs", {"subvolume", "create", "--", archive_path.native()},
                      "execute btrfs subvolume create",
                      "cannot create archive Btrfs subvolume " + shown + ": ");
    check_archive_subvolume(archive_path);
}

}  // namespace snapwright::system
