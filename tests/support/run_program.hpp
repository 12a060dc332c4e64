#pragma once

#include <optional>
#include <string>
#include <vector>

namespace snapwright::testing {

struct ProgramResult {
    int exit_code = -1;  // -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Starts `executable` with exactly `argv` (argv[0] included, so the invocation name can differ
// from the file) and `environment` ("NAME=value" strings), standard input from /dev/null,
// captures both output streams and waits for it. Throws std::runtime_error if it cannot start.
ProgramResult run_program(const std::string& executable, const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment);

// The same, with the child's user, group and supplementary groups changed to `user` (the same
// number serves as group ID) before the program starts; only root can do that.
ProgramResult run_program_as(std::optional<unsigned> user, const std::string& executable,
                             const std::vector<std::string>& argv,
                             const std::vector<std::string>& environment);

// The environment of the test process with PATH replaced by `path`.
std::vector<std::string> environment_with_path(const std::string& path);

}  // namespace snapwright::testing
