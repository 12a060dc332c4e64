#include "triggers/watch_mode.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "base/app_error.hpp"
#include "triggers/notify.hpp"
#include "triggers/schedule.hpp"
#include "triggers/watcher.hpp"

namespace snapwright::triggers {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// While a started run is still this process's child, wake up this often to collect it when it
// ends, so that no finished run waits as a zombie for the next event.
constexpr milliseconds kReapInterval{100};
// The longest quiet period waited for; a longer DEBOUNCE_MILLISECONDS is as good as forever.
constexpr std::uint64_t kLongestQuiet = 2147483647;

void schedule_reporting(const ScheduleRequest& request) {
    try {
        schedule_generate(request);
    } catch (const base::AppError& error) {
        const std::string line = "snapwright watcher: " + error.display() + "\n";
        std::fputs(line.c_str(), stderr);
    }
}

}  // namespace

void run_watch(const generation::RunContext& context) {
    Watcher watcher = open_watcher(context.config.watch_paths);
    notify_ready(context.config.watch_paths.size());
    const milliseconds quiet{static_cast<milliseconds::rep>(
        std::min(context.config.debounce_milliseconds, kLongestQuiet))};

    // A snapshot taken while no watcher ran (before the service started, between restarts)
    // gave no event: one run catches up at once. It also redoes a run that was killed with
    // the previous watcher.
    std::optional<ScheduleRequest> waiting = ScheduleRequest{.debounce = true};
    Clock::time_point due = Clock::now();
    while (true) {
        std::optional<milliseconds> timeout;
        if (waiting) {
            timeout =
                std::chrono::ceil<milliseconds>(std::max(due - Clock::now(), Clock::duration{}));
        }
        if (reap_finished_children()) {
            timeout = std::min(timeout.value_or(kReapInterval), kReapInterval);
        }

        std::optional<ScheduleRequest> request;
        try {
            request = next_trigger(watcher, timeout);
        } catch (const base::AppError&) {
            // What was seen before the watcher ends is not lost to its restart.
            if (!waiting && !watcher.pending.empty()) {
                waiting = watcher.pending.front();
            }
            if (waiting) {
                schedule_reporting(*waiting);
            }
            throw;
        }
        // A burst of events is one run, scheduled once the burst has been quiet for the
        // debounce period.
        if (request) {
            waiting = request;
            due = Clock::now() + quiet;
        } else if (waiting && Clock::now() >= due) {
            schedule_reporting(*waiting);
            waiting.reset();
        }
    }
}

}  // namespace snapwright::triggers
