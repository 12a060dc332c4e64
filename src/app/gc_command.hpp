#pragma once

#include <cstdint>
#include <string>

#include "app/command_line.hpp"
#include "generation/run_context.hpp"

namespace snapwright::app {

// What `gc` removed, summed over both stores; each sum saturates instead of overflowing.
struct GcResult {
    std::uint64_t removed_objects = 0;
    std::uint64_t removed_bytes = 0;

    bool operator==(const GcResult&) const = default;
};

// Removes the archive objects that no archived manifest names, then the boot store objects that
// no generated entry of this machine names. While the boot data root still holds manifests of
// the older layout, the boot store also keeps every object they name: until a generate run has
// migrated them, those objects exist nowhere else. Manifests and entries are never touched.
// The archive is collected before the entries are read, so an entry that fails to parse ("owned
// systemd-boot entry {} has no linux image", an asset outside the boot store) fails the command
// after the archive collection. The caller holds the boot partition lock.
[[nodiscard]] GcResult collect_unreferenced_objects(const generation::RunContext& context);

// "Removed N unreferenced objects (B bytes)" and a newline.
[[nodiscard]] std::string format_gc_report(const GcResult& result);

// The body of `gc`: takes the boot partition lock, collects and prints the report, then
// releases the lock (on failure too, with no report).
void run_gc_command(const Command& command, const generation::RunContext& context);

}  // namespace snapwright::app
