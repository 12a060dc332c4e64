#pragma once

#include <string>
#include <vector>

namespace snapwright::triggers {

// Snapper plugin mode: `arguments` are those after the program name (the event name and its
// operands, raw bytes). Decides whether and how to schedule a `generate` run; never reads the
// configuration. Throws AppError on failure.
void run_snapper_plugin(const std::vector<std::string>& arguments);

}  // namespace snapwright::triggers
