#include <array>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "bootloader/entry_location.hpp"

namespace snapwright::bootloader {
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
