#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <optional>
#include <vector>

#include "base/unique_fd.hpp"
#include "triggers/schedule.hpp"

namespace snapwright::triggers {

// One inotify instance watching every configured snapshot directory.
struct Watcher {
    base::UniqueFd inotify_descriptor;    // non-blocking, close-on-exec
    std::deque<ScheduleRequest> pending;  // triggers not yet handed out, oldest first
    bool invalidated = false;             // the kernel reported that a watch ended
};

// Checks every path first ("inspect WATCH_PATHS entry {}" with the OS error; "WATCH_PATHS entry
// is not a real directory: {}" for anything but a directory, a link to one included), then
// creates the instance ("create inotify instance") and registers each path in order
// ("WATCH_PATHS contains a NUL byte: {}", "register inotify watch for {}").
[[nodiscard]] Watcher open_watcher(const std::vector<std::filesystem::path>& paths);

// Waits up to `timeout` (forever without one) for the next batch of events and returns the one
// detached, debounced `generate` request it asks for, or nothing (timeout, nothing relevant).
// One read yields at most one request. Once a watch has ended, the request of that read is
// still handed out; the call after it fails with "an inotify watch was invalidated; restart
// after restoring WATCH_PATHS". Poll and read failures and a malformed event stream are errors.
[[nodiscard]] std::optional<ScheduleRequest> next_trigger(
    Watcher& watcher, std::optional<std::chrono::milliseconds> timeout);

}  // namespace snapwright::triggers
