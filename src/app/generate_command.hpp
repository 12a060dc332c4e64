#pragma once

#include <string>

#include "app/command_line.hpp"
#include "generation/generate_run.hpp"
#include "generation/run_context.hpp"

namespace snapwright::app {

// The one line a successful `generate` prints, newline included: the manifest count of the
// archive after the run, then the report's counts in order, then whether entry files changed.
[[nodiscard]] std::string format_generate_summary(const generation::GenerateReport& report);

// The body of `generate`, run as root. A debounced run (with a non-zero debounce) first claims
// the burst and waits; superseded before or while waiting for the lock, it prints "Skipped a
// superseded snapshot event" and ends successfully. Otherwise, under the boot partition lock,
// builds the configured provider (for Btrfs with the filesystem's top level mounted for the run),
// runs the generation, releases the mount and then prints the summary from the run's report and
// releases the lock. Every failure leaves the mount removed and the lock released.
void run_generate_command(const Command& command, const generation::RunContext& context);

}  // namespace snapwright::app
