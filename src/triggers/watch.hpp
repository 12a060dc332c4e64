#pragma once

#include "bootloader/run_context.hpp"

namespace snapwright::triggers {

// The `watch` command: watches the configured WATCH_PATHS, reports readiness to the service
// manager, and schedules a detached, debounced `generate` for every batch of snapshot
// directory events. A scheduling failure is written to standard error as "snapwright watcher:
// {}" and watching goes on; the children it starts are reaped as they end. Returns only by
// throwing: a setup error, a failure of the event stream, or an invalidated watch.
[[noreturn]] void run_watch(const bootloader::RunContext& context);

}  // namespace snapwright::triggers
