#pragma once

namespace snapwright::app {

// The whole program: chooses plugin or command-line mode from the invocation name, runs it,
// prints a failure as one "snapwright: " line on standard error and returns the exit status
// (0 or 1). Never throws.
int run_main(int argc, char** argv);

}  // namespace snapwright::app
