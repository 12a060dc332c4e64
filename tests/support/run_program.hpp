#pragma once

// The one way tests start programs: on the host, as another user, in a chroot, or after some
// preparation of the child (a private mount namespace, say), with both output streams captured.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace snapwright::testing {

struct ProgramResult {
    int exit_code = -1;  // -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Both streams and the exit code of a finished program, for failure messages.
std::string describe(const ProgramResult& result);

// Whether a program exited 0; the failure shows both streams.
::testing::AssertionResult succeeded(const ProgramResult& result);
// Checks that a program exited 0 and printed exactly `out` and `err`; a failure names the
// caller's line.
void expect_success(const ProgramResult& result, const std::string& out,
                    const std::string& err = "",
                    std::source_location where = std::source_location::current());
// Checks that a program failed with exit status 1 and printed exactly `out` and `err`.
void expect_failure(const ProgramResult& result, const std::string& out, const std::string& err,
                    std::source_location where = std::source_location::current());

// What the child does, in this order, before it executes the program. Standard input is always
// the null device.
struct ChildSetup {
    // Runs first; a non-empty result is a failure message, and the child exits 125 with it on
    // its standard error.
    std::function<std::string()> prepare = nullptr;
    // The whole environment ("NAME=value" strings); this process's when unset.
    std::optional<std::vector<std::string>> environment = std::nullopt;
    // chroot here and chdir to "/".
    std::optional<std::filesystem::path> root = std::nullopt;
    // Become this user, with the same number as group and no supplementary groups (root only;
    // exit 126 when it fails).
    std::optional<unsigned> user = std::nullopt;
};

// A program started and not yet waited for. Its output is collected while waiting; destroying an
// unfinished one kills and reaps it. A program still running after two minutes is killed.
class RunningProgram {
  public:
    RunningProgram(pid_t pid, int out_fd, int err_fd);
    RunningProgram(RunningProgram&& other) noexcept;
    RunningProgram& operator=(RunningProgram&&) = delete;
    RunningProgram(const RunningProgram&) = delete;
    ~RunningProgram();

    pid_t pid() const { return pid_; }
    // Whether the program has ended (reaps it when it has; its output stays readable by wait).
    bool finished();
    // Drains both streams to their end and reaps the program.
    ProgramResult wait();

  private:
    void drain(bool until_closed);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::optional<int> status_;
    std::string out_;
    std::string err_;
};

// Starts `executable` (looked up on PATH when it has no slash) with exactly `argv` (argv[0]
// included, so the invocation name can differ from the file). A program that cannot be executed
// exits 127 with "cannot execute <executable>: <reason>" on its standard error. Throws
// std::runtime_error when no child can be made.
RunningProgram start_program(const std::string& executable, const std::vector<std::string>& argv,
                             const ChildSetup& setup = {});

// The same, waiting for the program to end.
ProgramResult run_program(const std::string& executable, const std::vector<std::string>& argv,
                          const ChildSetup& setup = {});

// Runs argv[0] from PATH and returns its standard output; throws std::runtime_error with both
// streams when it fails.
std::string run_on_host(const std::vector<std::string>& argv);

// The environment of the test process with PATH replaced by `path`.
std::vector<std::string> environment_with_path(const std::string& path);

}  // namespace snapwright::testing
