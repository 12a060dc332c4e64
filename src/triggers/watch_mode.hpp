#pragma once

#include "generation/run_context.hpp"

namespace snapwright::triggers {

// The `watch` command: watches the configured WATCH_PATHS, reports readiness to the service
// manager, schedules one detached, debounced `generate` at once (for what changed while no
// watcher ran), and then one for every burst of snapshot directory events, once the burst has
// been quiet for DEBOUNCE_MILLISECONDS. A scheduling failure is written to standard error as
// "snapwright watcher: {}" and watching goes on; the children it starts are reaped soon after
// they end. Returns only by throwing: a setup error, a failure of the event stream, or an
// invalidated watch, after scheduling the run that a burst still waited for.
[[noreturn]] void run_watch(const generation::RunContext& context);

}  // namespace snapwright::triggers
