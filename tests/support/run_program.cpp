#include "support/run_program.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace snapwright::testing {
namespace {

// No test program legitimately runs this long; a hung one fails its test instead of the suite.
constexpr auto kProgramTimeLimit = std::chrono::seconds(120);

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const std::string& s : strings) {
        pointers.push_back(const_cast<char*>(s.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

[[noreturn]] void fail_in_child(const std::string& message, int code) {
    const std::string line = message + "\n";
    (void)!::write(2, line.data(), line.size());
    ::_exit(code);
}

[[noreturn]] void fail_errno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            fail_errno("pipe");
        }
        read_end = fds[0];
        write_end = fds[1];
    }
    ~Pipe() {
        if (read_end >= 0)
            ::close(read_end);
        if (write_end >= 0)
            ::close(write_end);
    }
};

}  // namespace

std::string describe(const ProgramResult& result) {
    const std::string how =
        result.exit_code >= 0 ? "exit " + std::to_string(result.exit_code) : "killed";
    return how + "\n--- stdout ---\n" + result.out + "--- stderr ---\n" + result.err;
}

::testing::AssertionResult succeeded(const ProgramResult& result) {
    if (result.exit_code == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << describe(result);
}

namespace {

void expect_exit(const ProgramResult& result, int exit_code, const std::string& out,
                 const std::string& err, std::source_location where) {
    const ::testing::ScopedTrace caller(where.file_name(), static_cast<int>(where.line()), "");
    EXPECT_EQ(result.exit_code, exit_code) << describe(result);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
}

}  // namespace

void expect_success(const ProgramResult& result, const std::string& out, const std::string& err,
                    std::source_location where) {
    expect_exit(result, 0, out, err, where);
}

void expect_failure(const ProgramResult& result, const std::string& out, const std::string& err,
                    std::source_location where) {
    expect_exit(result, 1, out, err, where);
}

RunningProgram::RunningProgram(pid_t pid, int out_fd, int err_fd)
    : pid_(pid), out_fd_(out_fd), err_fd_(err_fd) {}

RunningProgram::RunningProgram(RunningProgram&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_fd_(std::exchange(other.out_fd_, -1)),
      err_fd_(std::exchange(other.err_fd_, -1)),
      status_(std::exchange(other.status_, std::nullopt)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

RunningProgram::~RunningProgram() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

void RunningProgram::drain(bool until_closed) {
    const auto deadline = std::chrono::steady_clock::now() + kProgramTimeLimit;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        int timeout_ms = 0;
        if (until_closed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ::kill(pid_, SIGKILL);
                err_ += "\ntest runner: killed after the time limit\n";
                timeout_ms = -1;
            } else {
                timeout_ms = static_cast<int>(left.count());
            }
        }
        const int ready = ::poll(fds, 2, timeout_ms);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            if (!until_closed) {
                return;
            }
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            char buffer[65536];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                (i == 0 ? out_fd_ : err_fd_) = -1;
            }
        }
    }
}

bool RunningProgram::finished() {
    if (status_) {
        return true;
    }
    drain(false);
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
    }
    return status_.has_value();
}

ProgramResult RunningProgram::wait() {
    drain(true);
    if (!status_) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = status;
    }
    return ProgramResult{WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1, out_, err_};
}

RunningProgram start_program(const std::string& executable, const std::vector<std::string>& argv,
                             const ChildSetup& setup) {
    std::vector<char*> args = c_strings(argv);
    std::vector<char*> env;
    if (setup.environment) {
        env = c_strings(*setup.environment);
    }
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0) {
        fail_errno("open /dev/null");
    }
    Pipe out;
    Pipe err;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(null_fd);
        fail_errno("fork");
    }
    if (pid == 0) {
        ::dup2(null_fd, 0);
        ::dup2(out.write_end, 1);
        ::dup2(err.write_end, 2);
        if (setup.prepare) {
            if (const std::string failure = setup.prepare(); !failure.empty()) {
                fail_in_child(failure, 125);
            }
        }
        if (setup.environment) {
            environ = env.data();
        }
        if (setup.root && (::chroot(setup.root->c_str()) != 0 || ::chdir("/") != 0)) {
            fail_in_child("chroot " + setup.root->string() + ": " + std::strerror(errno), 127);
        }
        const auto user = setup.user;
        if (user &&
            (::setgroups(0, nullptr) != 0 || ::setgid(*user) != 0 || ::setuid(*user) != 0)) {
            fail_in_child("cannot change user", 126);
        }
        ::execvp(executable.c_str(), args.data());
        fail_in_child("cannot execute " + executable + ": " + std::strerror(errno), 127);
    }
    ::close(null_fd);
    ::close(std::exchange(out.write_end, -1));
    ::close(std::exchange(err.write_end, -1));
    return RunningProgram(pid, std::exchange(out.read_end, -1), std::exchange(err.read_end, -1));
}

ProgramResult run_program(const std::string& executable, const std::vector<std::string>& argv,
                          const ChildSetup& setup) {
    return start_program(executable, argv, setup).wait();
}

std::string run_on_host(const std::vector<std::string>& argv) {
    const ProgramResult result = run_program(argv.at(0), argv);
    if (result.exit_code != 0) {
        throw std::runtime_error(argv[0] + " failed: " + describe(result));
    }
    return result.out;
}

std::vector<std::string> environment_with_path(const std::string& path) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "PATH=", 5) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back("PATH=" + path);
    return environment;
}

}  // namespace snapwright::testing
