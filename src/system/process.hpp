#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

#include "base/unique_fd.hpp"

namespace snapwright::system {

// The result of one finished child.
struct CommandOutput {
    int status = 0;  // the wait status
    std::string stdout_bytes;
    std::string stderr_bytes;

    // Exited normally with code 0; any other exit code or death by a signal is failure.
    bool success() const;
};

// Runs `program` (a bare name, searched on PATH) with `arguments`, standard input from the null
// device, both output pipes drained together, and reaps it. The child inherits the environment
// and the working directory. A child that cannot be started throws `spawn_context` with the OS
// error ("execute findmnt: No such file or directory (os error 2)"). The exit status is not
// judged here. There is no time limit: a child that never exits blocks the caller.
CommandOutput run_captured(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& spawn_context);

// run_captured, then checked_output.
std::string run_checked(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& spawn_context, const std::string& failure_prefix);

// For a finished child: on failure throws `failure_prefix` followed by its standard error (lossy
// UTF-8, trimmed; the exit code is never reported); on success returns its standard output as
// lossy UTF-8 text (valid text is taken as it is, not copied).
std::string checked_output(CommandOutput output, const std::string& failure_prefix);

// A child started now whose output is collected later. Both output streams go to anonymous
// in-memory files rather than pipes, so the child never waits for a reader and runs while the
// caller does other work. Standard input, PATH search and start failures as for run_captured.
// A child that is not finished when this is destroyed is killed and reaped, so no path out
// leaves it running or a zombie behind.
class StartedCommand {
  public:
    StartedCommand(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& spawn_context);
    StartedCommand(const StartedCommand&) = delete;
    StartedCommand& operator=(const StartedCommand&) = delete;
    ~StartedCommand();

    // Waits for the child and returns what run_captured would have; once only.
    CommandOutput finish();

  private:
    base::UniqueFd stdout_file_;
    base::UniqueFd stderr_file_;
    pid_t pid_ = -1;
};

// The failure text of a finished child: `failure_prefix` followed by its trimmed, lossily
// decoded standard error.
std::string failure_message(const std::string& failure_prefix, const CommandOutput& output);

// Runs with inherited standard streams and waits; a start failure and the status are ignored.
// Never throws, so it may be called from destructors.
void run_inherited(const std::string& program, const std::vector<std::string>& arguments) noexcept;

// Replaces the process image (execvp semantics: PATH search unless `program` has a directory
// part; environment, working directory and descriptors without close-on-exec pass unchanged).
// `arguments` follow the program name in argv. Returns only on failure, with the errno value.
[[nodiscard]] int replace_process(const std::string& program,
                                  const std::vector<std::string>& arguments);

// Whether `name` names an installed program: a name with a directory part must be a regular
// file; a bare name is searched on PATH (unset PATH: false; an empty entry means the working
// directory). Symbolic links are followed; execute permission is not examined.
bool find_executable(const std::string& name);

// Runs `program` with this process's own standard streams and waits; returns the wait status.
// A child that cannot be started throws `spawn_context` with the OS error.
[[nodiscard]] int run_foreground(const std::string& program,
                                 const std::vector<std::string>& arguments,
                                 const std::string& spawn_context);

// Runs `program` with all three standard streams on the null device and waits; returns the
// wait status. Start failure as for run_foreground.
[[nodiscard]] int run_silenced(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::string& spawn_context);

// Starts `program` with all three standard streams on the null device and does not wait. The
// child stays this process's child until someone reaps it. Start failure as for run_foreground.
void start_detached(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& spawn_context);

// A wait status in words: "exit status: N" for a normal exit, "signal: N" for a killed child.
std::string describe_wait_status(int status);

}  // namespace snapwright::system
