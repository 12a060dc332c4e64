#include "base/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/app_error.hpp"
#include "base/text.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::base {

std::string read_file_bytes(const std::filesystem::path& path, const std::string& message) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        throw_os_error(message, errno);
    }
    std::string content;
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw_os_error(message, errno);
        }
        if (got == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    return content;
}

std::string read_text_file(const std::filesystem::path& path, const std::string& message) {
    std::string content = read_file_bytes(path, message);
    if (!is_valid_utf8(content)) {
        throw_io_text_error(message, kInvalidUtf8Cause);
    }
    return content;
}

namespace {

// Opens `path` for reading without following a final symbolic link and without blocking on a
// FIFO or device. An empty descriptor with errno 0 when it is not a regular file; with the
// error otherwise.
UniqueFd open_regular_no_follow(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        // A symbolic link (ELOOP) or a socket (ENXIO) is simply not a regular file.
        if (errno == ELOOP || errno == ENXIO) {
            errno = 0;
        }
        return fd;
    }
    struct stat status {};
    const int error = ::fstat(fd.get(), &status) != 0 ? errno : 0;
    if (error != 0 || !S_ISREG(status.st_mode)) {
        fd.reset();
        errno = error;
    }
    return fd;
}

}  // namespace

std::optional<std::string> read_regular_file_no_follow(const std::filesystem::path& path,
                                                       const std::string& message) {
    const UniqueFd fd = open_regular_no_follow(path);
    if (!fd) {
        if (errno != 0) {
            throw_os_error(message, errno);
        }
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw_os_error(message, errno);
        }
        if (got == 0)
            return content;
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<std::string> read_regular_file_if_present(const std::filesystem::path& path,
                                                        std::size_t max_bytes) {
    const UniqueFd fd = open_regular_no_follow(path);
    if (!fd) {
        return std::nullopt;
    }
    std::string content;
    char buffer[16384];
    while (true) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0) {
            return content;
        }
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > max_bytes) {
            return std::nullopt;
        }
    }
}

}  // namespace snapwright::base
