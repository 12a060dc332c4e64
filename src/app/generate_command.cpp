#include "app/generate_command.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "app/boot_warnings.hpp"
#include "app/output.hpp"
#include "base/app_error.hpp"
#include "generation/generate_run.hpp"
#include "generation/store_permissions.hpp"
#include "provider/provider_factory.hpp"
#include "system/boot_lock.hpp"
#include "triggers/debounce_claim.hpp"

namespace snapwright::app {
namespace {

// A debounced run claims the burst and waits; a run whose claim another run has overwritten
// meanwhile has nothing to do. Answers the lock for a run that goes ahead, nothing for a run
// that was superseded, before the lock or while it waited for it (a slow burst can queue
// runs on the lock longer than its timeout; only the latest of them matters). The latest
// waits for the lock as long as it takes: it is detached, no one would see it time out, and
// the event it stands for would be lost. DEBOUNCE_MILLISECONDS=0 only drops the wait before it.
std::optional<system::BootLock> lock_unless_superseded(const Command& command,
                                                       const generation::RunContext& context) {
    const std::uint64_t debounce = context.config.debounce_milliseconds;
    if (!command.debounce) {
        return system::acquire_boot_lock();
    }
    // Claimed also without a wait: a run that waits for the lock without a deadline must be
    // one that a later event can supersede.
    const triggers::DebounceClaim claim = triggers::place_debounce_claim(context.machine_id);
    // Millisecond counts beyond what the clock type holds are waits no one will see end.
    const auto wait = std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(
        std::min<std::uint64_t>(debounce, std::numeric_limits<std::int64_t>::max() / 1000000)));
    if (!triggers::claim_still_current(claim, wait)) {
        return std::nullopt;
    }
    return system::acquire_boot_lock(
        [&claim] { return !triggers::claim_still_current(claim, std::chrono::milliseconds(0)); });
}

// Opens the configured provider, checks the stores while it starts listing the snapshots, and
// runs the generation with it. A top-level mount the provider needs, and a listing still
// running, end when this returns or throws, so the caller's lock always outlives them.
generation::GenerateReport generate_with_provider(const generation::RunContext& context) {
    const std::unique_ptr<provider::Provider> provider = provider::open_provider(
        context.config, context.root_filesystem_uuid, context.machine_id, context.filesystems);
    provider->start_listing();
    generation::check_store_directories(context, generation::SnapshotDirectories::CheckedByCapture);
    return generation::run_generate(context, *provider);
}

}  // namespace

std::string format_generate_summary(const generation::GenerateReport& report) {
    const auto n = [](std::uint64_t value) { return std::to_string(value); };
    return "Archived " + n(report.archived_manifests) + " snapshot manifests (created " +
           n(report.manifests_created) + ", updated " + n(report.manifests_updated) + ", removed " +
           n(report.manifests_removed) + "); deployed " + n(report.deployed_snapshots) +
           " snapshots using " + n(report.kernel_sets) + " kernel set(s), " +
           n(report.deployed_objects) + " objects and " + n(report.deployed_bytes) +
           " bytes; average kernel/initramfs set " + n(report.average_set_bytes) +
           " bytes, reserved free space " + n(report.reserved_bytes) +
           " bytes; archive GC removed " + n(report.archive_gc_objects) + " objects (" +
           n(report.archive_gc_bytes) + " bytes); boot GC removed " + n(report.boot_gc_objects) +
           " objects (" + n(report.boot_gc_bytes) + " bytes); systemd-boot snapshot entries " +
           (report.entries_changed ? "updated" : "unchanged") + "\n";
}

void run_generate_command(const Command& command, const generation::RunContext& context) {
    const std::optional<system::BootLock> lock = lock_unless_superseded(command, context);
    if (!lock) {
        write_stdout("Skipped a superseded snapshot event\n");
        return;
    }
    const generation::GenerateReport report = generate_with_provider(context);
    write_stdout(format_generate_summary(report));
    for (const std::optional<std::string>& line :
         {check_default_entry(context),
          other_os_warning(report.other_os_manifests, context.os_name)}) {
        if (line) {
            print_warning(*line);
        }
    }
}

}  // namespace snapwright::app
