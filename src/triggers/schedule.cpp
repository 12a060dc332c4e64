#include "triggers/schedule.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "base/app_error.hpp"
#include "system/process.hpp"
#include "triggers/own_executable.hpp"

namespace snapwright::triggers {
namespace {

std::atomic<std::uint64_t> unit_counter{0};

std::string next_unit_name() {
    return "snapwright-snapshot-" + std::to_string(::getpid()) + "-" +
           std::to_string(unit_counter.fetch_add(1));
}

void start_detached(const std::string& executable, const std::vector<std::string>& arguments);

// A failed run leaves the new snapshot without its entry, and the likeliest reason, a lock held
// longer than the run may wait, passes. Its streams are the caller's, so why it failed is not
// known here: every failure leaves a debounced run behind, which waits for the lock as long as
// no later event supersedes it and fails again, unseen, only where the cause lasts.
void run_synchronously(const std::string& executable, const std::vector<std::string>& arguments) {
    const int status =
        system::run_foreground(executable, arguments, "run synchronous snapwright capture");
    if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        start_detached(executable, {"generate", "--debounce"});
        base::throw_error("synchronous snapwright capture exited with " +
                          system::describe_wait_status(status));
    }
}

// A transient unit outlives this process and is supervised by the service manager; its
// failure status says nothing about the run itself, only that another way must be tried.
bool started_as_transient_unit(const std::string& executable,
                               const std::vector<std::string>& arguments) {
    if (!system::find_executable("systemd-run")) {
        return false;
    }
    std::vector<std::string> words{"--quiet", "--collect", "--unit=" + next_unit_name(),
                                   executable};
    words.insert(words.end(), arguments.begin(), arguments.end());
    const int status =
        system::run_silenced("systemd-run", words, "schedule systemd transient unit");
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void start_detached(const std::string& executable, const std::vector<std::string>& arguments) {
    if (started_as_transient_unit(executable, arguments)) {
        return;
    }
    if (system::find_executable("setsid")) {
        std::vector<std::string> words{executable};
        words.insert(words.end(), arguments.begin(), arguments.end());
        system::start_detached("setsid", words, "schedule detached snapwright");
        return;
    }
    system::start_detached(executable, arguments, "schedule snapwright");
}

}  // namespace

void schedule_generate(const ScheduleRequest& request) {
    const std::string executable = own_executable();
    std::vector<std::string> arguments{"generate"};
    if (request.debounce) {
        arguments.emplace_back("--debounce");
    }
    if (request.synchronous) {
        run_synchronously(executable, arguments);
    } else {
        start_detached(executable, arguments);
    }
}

bool reap_finished_children() noexcept {
    int status = 0;
    while (true) {
        const pid_t ended = ::waitpid(-1, &status, WNOHANG);
        if (ended > 0) {
            continue;
        }
        if (ended < 0 && errno == EINTR) {
            continue;
        }
        // 0: children remain, none ended; -1 with ECHILD: none at all.
        return ended == 0;
    }
}

}  // namespace snapwright::triggers
