#pragma once

namespace snapwright::triggers {

// How a `generate` run is started for a snapshot event.
struct ScheduleRequest {
    bool debounce = false;     // pass "--debounce"
    bool synchronous = false;  // run in the foreground and wait, instead of detaching

    bool operator==(const ScheduleRequest&) const = default;
};

// Starts this executable as `generate` (with "--debounce" when asked; never with "--config",
// so the run uses the default configuration).
//
// Synchronous: the child shares this process's standard streams and is waited for; it fails
// with "run synchronous snapwright capture" plus the OS error when it cannot start, and with
// "synchronous snapwright capture exited with {}" when it does not succeed, after starting a
// detached debounced run as below, so that the snapshot still gets its entry once the cause
// (a lock held for too long) has passed. Starting that run fails as below.
//
// Detached: the first of these that works, standard streams on the null device, nothing
// waited for but systemd-run itself:
//   systemd-run --quiet --collect --unit=snapwright-snapshot-<pid>-<n> (when installed; a
//     failure status falls through, a start failure is "schedule systemd transient unit");
//   setsid (when installed; "schedule detached snapwright");
//   the executable itself ("schedule snapwright").
// A detached child that this process starts is its child until it ends: long-lived callers
// reap it (see reap_finished_children).
// The executable is the running one: "locate snapwright executable" when it cannot be found.
void schedule_generate(const ScheduleRequest& request);

// Collects every child of this process that has ended, without waiting, and tells whether any
// child is still running. Never throws.
[[nodiscard]] bool reap_finished_children() noexcept;

}  // namespace snapwright::triggers
