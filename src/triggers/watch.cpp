#include "triggers/watch.hpp"

#include <cstdio>
#include <string>

#include "base/app_error.hpp"
#include "triggers/notify.hpp"
#include "triggers/schedule.hpp"
#include "triggers/watcher.hpp"

namespace snapwright::triggers {

void run_watch(const bootloader::RunContext& context) {
    Watcher watcher = open_watcher(context.config.watch_paths);
    notify_ready(context.config.watch_paths.size());
    while (true) {
        // Detached runs started through setsid or directly are children of this process;
        // unreaped they would pile up for as long as the watcher lives.
        reap_finished_children();
        const std::optional<ScheduleRequest> request = next_trigger(watcher, std::nullopt);
        if (!request) {
            continue;
        }
        try {
            schedule_generate(*request);
        } catch (const base::AppError& error) {
            const std::string line = "snapwright watcher: " + error.display() + "\n";
            std::fputs(line.c_str(), stderr);
        }
    }
}

}  // namespace snapwright::triggers
