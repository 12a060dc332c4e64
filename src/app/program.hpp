#pragma once

#include <string_view>

namespace snapwright::app {

// The whole program: chooses plugin or command-line mode from the invocation name, runs it,
// prints a failure as one "snapwright: " line on standard error and returns the exit status
// (0 or 1). Never throws.
int run_main(int argc, char** argv);

// Whether a process started under `invocation_name` (argv[0], raw bytes) is a Snapper plugin
// call: the name's final path component (ignoring repeated and trailing slashes and "."
// components) is valid UTF-8 and exactly "10-snapwright". A name ending in ".." or made only
// of slashes has no final component and never selects plugin mode.
bool is_plugin_invocation(std::string_view invocation_name);

}  // namespace snapwright::app
