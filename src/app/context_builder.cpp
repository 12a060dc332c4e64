#include "app/context_builder.hpp"

#include <system_error>
#include <utility>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/system_paths.hpp"
#include "bootloader/entry_location.hpp"
#include "config/config.hpp"
#include "config/load_config.hpp"
#include "system/host_identity.hpp"
#include "system/mount_table.hpp"

namespace snapwright::app {

namespace {

// Both as written and with symbolic links resolved as far as the paths exist, so that a link
// cannot hide the overlap.
bool overlap(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (base::path_starts_with(a, b) || base::path_starts_with(b, a)) {
        return true;
    }
    std::error_code error_a;
    std::error_code error_b;
    const std::filesystem::path real_a = std::filesystem::weakly_canonical(a, error_a);
    const std::filesystem::path real_b = std::filesystem::weakly_canonical(b, error_b);
    return !error_a && !error_b &&
           (base::path_starts_with(real_a, real_b) || base::path_starts_with(real_b, real_a));
}

}  // namespace

void check_store_separation(const std::filesystem::path& archive_root,
                            const std::filesystem::path& boot_data_root) {
    if (overlap(archive_root, boot_data_root)) {
        base::throw_error("the archive " + base::display_path(archive_root) +
                          " and the boot data directory " + base::display_path(boot_data_root) +
                          " overlap; set ARCHIVE_PATH, BOOT_PATH or DATA_DIRECTORY so that "
                          "neither lies inside the other");
    }
}

generation::RunContext build_run_context(const std::filesystem::path& config_path) {
    return build_run_context(config::load_config(config_path));
}

generation::RunContext build_run_context(config::Config config) {
    generation::RunContext context;
    context.config = std::move(config);
    context.filesystems = system::read_mount_table();
    if (system::root_filesystem_type(context.filesystems) != "btrfs") {
        base::throw_error("the root filesystem is not Btrfs");
    }
    const bootloader::EntryLocation location =
        bootloader::locate_entry_directory(context.config, context.filesystems);
    context.machine_id = system::read_machine_id(context.config.machine_id_file);
    context.os_name = context.config.target_os_name ? *context.config.target_os_name
                                                    : system::read_os_name(base::kOsReleasePath);
    bootloader::check_entry_location(location);
    context.root_filesystem_uuid = system::root_filesystem_uuid(context.filesystems);

    context.boot_root = location.boot_root;
    context.entry_directory = location.entry_directory;
    // DATA_DIRECTORY is relative by validation; join_under keeps even a stray leading "/" from
    // restarting the path at the root.
    context.boot_data_relative =
        base::join_under(context.config.data_directory, context.machine_id);
    context.boot_data_root = base::join_under(context.boot_root, context.boot_data_relative);
    context.archive_root = base::join_under(context.config.archive_path, context.machine_id);
    check_store_separation(context.archive_root, context.boot_data_root);
    return context;
}

}  // namespace snapwright::app
