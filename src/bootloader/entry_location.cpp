#include "bootloader/entry_location.hpp"

#include <sys/stat.h>

#include "base/app_error.hpp"
#include "base/paths.hpp"

namespace snapwright::bootloader {
namespace {

[[noreturn]] void throw_unavailable(const fs::path& path) {
    base::throw_error("systemd-boot entry directory is unavailable: " + base::display_path(path));
}

}  // namespace

bool is_real_directory(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
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

}  // namespace snapwright::bootloader
