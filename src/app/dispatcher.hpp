#pragma once

#include <string>
#include <vector>

#include "app/command_line.hpp"

namespace snapwright::app {

// Runs the parsed command. `raw_arguments` are the arguments after the program name, unparsed,
// for re-executing the same command line elsewhere. Reports go to standard output; a failure
// is thrown as AppError and printed by the caller.
void run_command(const CommandLine& command_line, const std::vector<std::string>& raw_arguments);

}  // namespace snapwright::app
