#include "app/context_builder.hpp"

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/system_paths.hpp"
#include "bootloader/entry_location.hpp"
#include "config/config.hpp"
#include "config/load_config.hpp"
#include "system/host_identity.hpp"
#include "system/mount_table.hpp"

namespace snapwright::app {

bootloader::RunContext build_run_context(const std::filesystem::path& config_path) {
    bootloader::RunContext context;
    context.config = config::load_config(config_path);
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
    return context;
}

}  // namespace snapwright::app
