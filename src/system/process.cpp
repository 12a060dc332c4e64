#include "system/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "base/app_error.hpp"
#include "base/file_io.hpp"
#include "base/file_kind.hpp"
#include "base/text.hpp"
#include "base/unique_fd.hpp"

extern char** environ;

namespace snapwright::system {
namespace {

using base::UniqueFd;

// argv for exec: the program name, then the arguments, then a null pointer. The strings are
// copied so the pointers stay valid for the whole call.
class ArgumentVector {
  public:
    ArgumentVector(const std::string& program, const std::vector<std::string>& arguments) {
        storage_.reserve(arguments.size() + 1);
        storage_.push_back(program);
        storage_.insert(storage_.end(), arguments.begin(), arguments.end());
        pointers_.reserve(storage_.size() + 1);
        for (std::string& word : storage_) {
            pointers_.push_back(word.data());
        }
        pointers_.push_back(nullptr);
    }
    ArgumentVector(const ArgumentVector&) = delete;
    ArgumentVector& operator=(const ArgumentVector&) = delete;

    char* const* data() const { return pointers_.data(); }

  private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

class SpawnFileActions {
  public:
    SpawnFileActions() {
        if (int error = posix_spawn_file_actions_init(&actions_); error != 0) {
            base::throw_io_error(error);
        }
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }

    void duplicate(int fd, int target) {
        if (int error = posix_spawn_file_actions_adddup2(&actions_, fd, target); error != 0) {
            base::throw_io_error(error);
        }
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

// Children start with no blocked signals and the default SIGPIPE action, whatever this
// process has arranged for itself.
class SpawnAttributes {
  public:
    SpawnAttributes() {
        if (int error = posix_spawnattr_init(&attributes_); error != 0) {
            base::throw_io_error(error);
        }
        sigset_t empty;
        sigemptyset(&empty);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes_, &empty);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }

    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

// Waits for `pid`, retrying on EINTR. Returns the wait status, or -1 with errno set.
int wait_for(pid_t pid, int& status) {
    while (true) {
        if (::waitpid(pid, &status, 0) == pid) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// A started child and the parent's ends of its output pipes. Destruction closes the pipes
// first, so a child still writing sees a broken pipe instead of blocking, and then reaps the
// child: no path out of the runner leaves a zombie or a descriptor behind.
class ChildProcess {
  public:
    ChildProcess(pid_t pid, UniqueFd stdout_pipe, UniqueFd stderr_pipe)
        : pid_(pid), stdout_pipe_(std::move(stdout_pipe)), stderr_pipe_(std::move(stderr_pipe)) {}
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        stdout_pipe_.reset();
        stderr_pipe_.reset();
        if (pid_ > 0) {
            int status = 0;
            (void)wait_for(pid_, status);
        }
    }

    UniqueFd& stdout_pipe() { return stdout_pipe_; }
    UniqueFd& stderr_pipe() { return stderr_pipe_; }

    int wait() {
        int status = 0;
        const pid_t pid = std::exchange(pid_, -1);
        if (wait_for(pid, status) != 0) {
            base::throw_io_error(errno);
        }
        return status;
    }

  private:
    pid_t pid_;
    UniqueFd stdout_pipe_;
    UniqueFd stderr_pipe_;
};

// Keeps a descriptor clear of 0, 1 and 2, so that arranging the child's standard streams
// never overwrites a descriptor that is still to be duplicated (possible when this process was
// started with a standard stream closed).
UniqueFd above_standard_streams(UniqueFd fd) {
    if (fd.get() > STDERR_FILENO) {
        return fd;
    }
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
        base::throw_io_error(errno);
    }
    return UniqueFd(moved);
}

struct Pipe {
    UniqueFd read_end;
    UniqueFd write_end;
};

Pipe make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        base::throw_io_error(errno);
    }
    Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
    pipe.read_end = above_standard_streams(std::move(pipe.read_end));
    pipe.write_end = above_standard_streams(std::move(pipe.write_end));
    return pipe;
}

UniqueFd open_null_device() {
    UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!fd) {
        base::throw_io_error(errno);
    }
    return above_standard_streams(std::move(fd));
}

// posix_spawnp searches PATH like execvp and reports a failed exec as its result.
pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const posix_spawn_file_actions_t* actions, const std::string& spawn_context) {
    const ArgumentVector argv(program, arguments);
    const SpawnAttributes attributes;
    pid_t pid = -1;
    const int error =
        ::posix_spawnp(&pid, program.c_str(), actions, attributes.get(), argv.data(), environ);
    if (error != 0) {
        base::throw_os_error(spawn_context, error);
    }
    return pid;
}

// Appends what one ready pipe holds; closes it at end of file.
void read_available(UniqueFd& pipe, std::string& sink) {
    char buffer[65536];
    const ssize_t got = base::read_retrying(pipe.get(), buffer, sizeof buffer);
    if (got > 0) {
        sink.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
        pipe.reset();
    } else if (errno != EAGAIN) {
        base::throw_io_error(errno);
    }
}

// Reads both pipes until both are closed, so a child that fills one pipe while we would be
// waiting on the other never blocks.
void drain(ChildProcess& child, CommandOutput& output) {
    while (child.stdout_pipe() || child.stderr_pipe()) {
        // poll ignores negative descriptors, so a closed pipe simply drops out.
        pollfd fds[2] = {{child.stdout_pipe().get(), POLLIN, 0},
                         {child.stderr_pipe().get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            base::throw_io_error(errno);
        }
        if (fds[0].revents != 0) {
            read_available(child.stdout_pipe(), output.stdout_bytes);
        }
        if (fds[1].revents != 0) {
            read_available(child.stderr_pipe(), output.stderr_bytes);
        }
    }
}

bool names_regular_file(const std::string& path) {
    return base::followed_kind_or_absent(path) == base::FileKind::Regular;
}

}  // namespace

bool CommandOutput::success() const {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

CommandOutput run_captured(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& spawn_context) {
    const UniqueFd null_device = open_null_device();
    Pipe out = make_pipe();
    Pipe err = make_pipe();

    SpawnFileActions actions;
    actions.duplicate(null_device.get(), STDIN_FILENO);
    actions.duplicate(out.write_end.get(), STDOUT_FILENO);
    actions.duplicate(err.write_end.get(), STDERR_FILENO);

    const pid_t pid = spawn(program, arguments, actions.get(), spawn_context);
    ChildProcess child(pid, std::move(out.read_end), std::move(err.read_end));
    // Only the child may hold the write ends, or the pipes would never reach end of file.
    out.write_end.reset();
    err.write_end.reset();

    CommandOutput output;
    drain(child, output);
    output.status = child.wait();
    return output;
}

namespace {

UniqueFd make_output_file() {
    UniqueFd fd(::memfd_create("snapwright-output", MFD_CLOEXEC));
    if (!fd) {
        base::throw_io_error(errno);
    }
    return above_standard_streams(std::move(fd));
}

// Everything the child wrote to `file`, read from its start (the child moved the shared
// position to its end).
std::string written_to(const UniqueFd& file) {
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || ::lseek(file.get(), 0, SEEK_SET) != 0) {
        base::throw_io_error(errno);
    }
    return base::read_at_most(file.get(), static_cast<std::size_t>(status.st_size));
}

}  // namespace

StartedCommand::StartedCommand(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::string& spawn_context)
    : stdout_file_(make_output_file()), stderr_file_(make_output_file()) {
    const UniqueFd null_device = open_null_device();
    SpawnFileActions actions;
    actions.duplicate(null_device.get(), STDIN_FILENO);
    actions.duplicate(stdout_file_.get(), STDOUT_FILENO);
    actions.duplicate(stderr_file_.get(), STDERR_FILENO);
    pid_ = spawn(program, arguments, actions.get(), spawn_context);
}

StartedCommand::~StartedCommand() {
    if (pid_ > 0) {
        (void)::kill(pid_, SIGKILL);
        int status = 0;
        (void)wait_for(pid_, status);
    }
}

CommandOutput StartedCommand::finish() {
    CommandOutput output;
    const pid_t pid = std::exchange(pid_, -1);
    if (wait_for(pid, output.status) != 0) {
        base::throw_io_error(errno);
    }
    output.stdout_bytes = written_to(stdout_file_);
    output.stderr_bytes = written_to(stderr_file_);
    return output;
}

std::string failure_message(const std::string& failure_prefix, const CommandOutput& output) {
    const std::string detail = base::lossy_utf8(output.stderr_bytes);
    return failure_prefix + std::string(base::trim(detail));
}

std::string run_checked(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& spawn_context, const std::string& failure_prefix) {
    return checked_output(run_captured(program, arguments, spawn_context), failure_prefix);
}

std::string checked_output(CommandOutput output, const std::string& failure_prefix) {
    if (!output.success()) {
        base::throw_error(failure_message(failure_prefix, output));
    }
    // A listing of thousands of subvolumes is megabytes.
    if (base::is_valid_utf8(output.stdout_bytes)) {
        return std::move(output.stdout_bytes);
    }
    return base::lossy_utf8(output.stdout_bytes);
}

void run_inherited(const std::string& program, const std::vector<std::string>& arguments) noexcept {
    try {
        const pid_t pid = spawn(program, arguments, nullptr, program);
        int status = 0;
        (void)wait_for(pid, status);
    } catch (...) {
        // Starting the program is best effort by contract.
    }
}

int replace_process(const std::string& program, const std::vector<std::string>& arguments) {
    const ArgumentVector argv(program, arguments);
    // An ignored signal stays ignored across exec; the new program starts with the default
    // SIGPIPE action, as a spawned child does. Kept as it was when the exec fails.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    struct sigaction previous {};
    const bool changed = ::sigaction(SIGPIPE, &default_action, &previous) == 0;
    ::execvp(program.c_str(), argv.data());
    const int error = errno;
    if (changed) {
        (void)::sigaction(SIGPIPE, &previous, nullptr);
    }
    return error;
}

bool find_executable(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return names_regular_file(name);
    }
    const char* search_path = std::getenv("PATH");
    if (search_path == nullptr) {
        return false;
    }
    for (const std::string_view entry : base::split(search_path, ':')) {
        // An empty entry stands for the working directory: the bare name, relative.
        const std::string candidate = entry.empty() ? name : std::string(entry) + "/" + name;
        if (names_regular_file(candidate)) {
            return true;
        }
    }
    return false;
}

namespace {

// Starts `program` with every standard stream on the null device.
pid_t spawn_silenced(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& spawn_context) {
    UniqueFd null_device(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!null_device) {
        base::throw_io_error(errno);
    }
    null_device = above_standard_streams(std::move(null_device));
    SpawnFileActions actions;
    actions.duplicate(null_device.get(), STDIN_FILENO);
    actions.duplicate(null_device.get(), STDOUT_FILENO);
    actions.duplicate(null_device.get(), STDERR_FILENO);
    return spawn(program, arguments, actions.get(), spawn_context);
}

int wait_status_of(pid_t pid) {
    int status = 0;
    if (wait_for(pid, status) != 0) {
        base::throw_io_error(errno);
    }
    return status;
}

}  // namespace

int run_foreground(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& spawn_context) {
    return wait_status_of(spawn(program, arguments, nullptr, spawn_context));
}

int run_silenced(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& spawn_context) {
    return wait_status_of(spawn_silenced(program, arguments, spawn_context));
}

void start_detached(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& spawn_context) {
    (void)spawn_silenced(program, arguments, spawn_context);
}

std::string describe_wait_status(int status) {
    if (WIFEXITED(status)) {
        return "exit status: " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "signal: " + std::to_string(WTERMSIG(status));
    }
    return "wait status: " + std::to_string(status);
}

}  // namespace snapwright::system
