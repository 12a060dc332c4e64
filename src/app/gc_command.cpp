#include "app/gc_command.hpp"

#include "app/output.hpp"
#include "base/checked.hpp"
#include "bootloader/entry_directory.hpp"
#include "bootloader/entry_references.hpp"
#include "generation/maintenance.hpp"
#include "generation/store_permissions.hpp"
#include "manifest/archive_gc.hpp"
#include "system/archive_location.hpp"
#include "system/boot_lock.hpp"

namespace snapwright::app {

GcResult collect_unreferenced_objects(const generation::RunContext& context) {
    const store::GarbageCollection archive_gc =
        manifest::collect_archive_garbage(context.archive_root);

    const auto inventory =
        bootloader::list_generated_entry_files(context.entry_directory, context.machine_id);
    const store::GarbageCollection boot_gc = generation::collect_boot_store(
        context.boot_data_root,
        bootloader::collect_entry_references(inventory, context.boot_data_relative));

    return GcResult{
        .removed_objects =
            base::saturating_add(archive_gc.removed_objects, boot_gc.removed_objects),
        .removed_bytes = base::saturating_add(archive_gc.removed_bytes, boot_gc.removed_bytes),
    };
}

std::string format_gc_report(const GcResult& result) {
    return "Removed " + std::to_string(result.removed_objects) + " unreferenced objects (" +
           std::to_string(result.removed_bytes) + " bytes)\n";
}

void run_gc_command(const Command&, const generation::RunContext& context) {
    const system::BootLock lock = system::acquire_boot_lock();
    system::check_archive_reachable(context.config.archive_path, context.filesystems);
    generation::check_store_directories(context);
    generation::remove_interrupted_leftovers(context.entry_directory, context.archive_root,
                                             context.boot_data_root, context.machine_id,
                                             context.runtime_directory);
    const GcResult result = collect_unreferenced_objects(context);
    write_stdout(format_gc_report(result));
}

}  // namespace snapwright::app
