#include "triggers/snapper_plugin.hpp"

#include "base/text.hpp"

namespace snapwright::triggers {

std::optional<ScheduleRequest> plugin_request(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2 || base::lossy_utf8(arguments[1]) != "/") {
        return std::nullopt;
    }
    const std::string event = base::lossy_utf8(arguments[0]);
    if (event == "create-snapshot-post") {
        return ScheduleRequest{.debounce = false, .synchronous = true};
    }
    if (event == "delete-snapshot-post" || event == "modify-snapshot-post") {
        return ScheduleRequest{.debounce = true, .synchronous = false};
    }
    return std::nullopt;
}

void run_snapper_plugin(const std::vector<std::string>& arguments) {
    if (const std::optional<ScheduleRequest> request = plugin_request(arguments)) {
        schedule_generate(*request);
    }
}

}  // namespace snapwright::triggers
