#include "bootloader/entry_location.hpp"

#include <array>

#include "base/app_error.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"

namespace snapwright::bootloader {
namespace {

[[noreturn]] void throw_unavailable(const fs::path& path) {
    base::throw_error("systemd-boot entry directory is unavailable: " + base::display_path(path));
}

}  // namespace

bool is_real_directory(const fs::path& path) {
    return base::kind_or_absent(path) == base::FileKind::Directory;
}

void check_entry_directory(const fs::path& entry_directory) {
    if (!is_real_directory(entry_directory)) {
        throw_unavailable(entry_directory);
    }
}

void check_entry_location(const EntryLocation& location) {
    if (!is_real_directory(location.boot_root)) {
        throw_unavailable(location.boot_root);
    }
    if (!base::path_starts_with(location.entry_directory, location.boot_root)) {
        base::throw_error("systemd-boot entry directory " +
                          base::display_path(location.entry_directory) + " is outside boot root " +
                          base::display_path(location.boot_root));
    }
    check_entry_directory(location.entry_directory);
}

namespace {

constexpr const char* kEntriesRelative = "loader/entries";
constexpr std::array<const char*, 3> kBootRootCandidates = {"/boot", "/efi", "/boot/efi"};

}  // namespace

EntryLocation locate_entry_directory(const config::Config& config,
                                     const system::MountTable& mounts) {
    if (config.boot_path) {
        const fs::path& boot_root = *config.boot_path;
        return EntryLocation{boot_root, config.entries_directory
                                            ? *config.entries_directory
                                            : base::join_under(boot_root, kEntriesRelative)};
    }
    if (config.entries_directory) {
        const fs::path& entry_directory = *config.entries_directory;
        return EntryLocation{system::mount_point_containing(mounts, entry_directory),
                             entry_directory};
    }
    for (const char* candidate : kBootRootCandidates) {
        const fs::path entry_directory = base::join_under(candidate, kEntriesRelative);
        if (is_real_directory(entry_directory)) {
            return EntryLocation{candidate, entry_directory};
        }
    }
    base::throw_error(
        "cannot find systemd-boot Type #1 entries; set BOOT_PATH and optionally "
        "ENTRIES_DIRECTORY");
}

}  // namespace snapwright::bootloader
