#include "support/child_process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/app_error.hpp"

namespace snapwright::testing {
namespace {

constexpr uid_t kNobody = 65534;

}  // namespace

std::string run_in_child(const std::function<std::string()>& body) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::close(report[0]);
        std::string result;
        try {
            result = body();
        } catch (const base::AppError& error) {
            result = "error: " + error.display();
        } catch (const std::exception& error) {
            result = std::string("exception: ") + error.what();
        }
        for (std::size_t sent = 0; sent < result.size();) {
            const ssize_t wrote = ::write(report[1], result.data() + sent, result.size() - sent);
            if (wrote <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(wrote);
        }
        ::_exit(0);
    }
    ::close(report[1]);
    std::string result;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(report[0], buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno != EINTR) {
            break;
        }
        if (got > 0) {
            result.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(report[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

std::string run_as_ordinary_user(const std::filesystem::path& workspace,
                                 const std::function<std::string()>& body) {
    if (::geteuid() == 0 && ::chown(workspace.c_str(), kNobody, kNobody) != 0) {
        throw std::runtime_error("cannot hand " + workspace.string() + " to nobody");
    }
    return run_in_child([&] {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
             ::setresuid(kNobody, kNobody, kNobody) != 0)) {
            return std::string("cannot become nobody: ") + std::strerror(errno);
        }
        return body();
    });
}

}  // namespace snapwright::testing
