#pragma once

#include <optional>
#include <string>
#include <vector>

#include "triggers/schedule.hpp"

namespace snapwright::triggers {

// What a Snapper event asks for: for the subvolume "/", "create-snapshot-post" a synchronous
// `generate`, "delete-snapshot-post" and "modify-snapshot-post" a detached debounced one;
// nothing for any other event, subvolume, or fewer than two arguments. Arguments are compared
// after lossy UTF-8 decoding; those after the second are ignored.
[[nodiscard]] std::optional<ScheduleRequest> plugin_request(
    const std::vector<std::string>& arguments);

// Snapper plugin mode: `arguments` are those after the program name (the event name and its
// operands, raw bytes). Schedules what plugin_request decides; never reads the configuration,
// checks privileges or takes a lock. Throws AppError when scheduling fails.
void run_snapper_plugin(const std::vector<std::string>& arguments);

}  // namespace snapwright::triggers
