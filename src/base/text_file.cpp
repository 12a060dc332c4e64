#include "base/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "base/app_error.hpp"
#include "base/file_io.hpp"
#include "base/text.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::base {

std::string read_file_bytes(const std::filesystem::path& path, const std::string& message) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        throw_os_error(message, errno);
    }
    return *read_all(fd.get(), std::numeric_limits<std::size_t>::max(), message);
}

std::string read_text_file(const std::filesystem::path& path, const std::string& message) {
    std::string content = read_file_bytes(path, message);
    if (!is_valid_utf8(content)) {
        throw_io_text_error(message, kInvalidUtf8Cause);
    }
    return content;
}

std::string read_text_file_at(int directory, const std::string& name, const std::string& message) {
    UniqueFd fd(::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        throw_os_error(message, errno);
    }
    std::string content = *read_all(fd.get(), std::numeric_limits<std::size_t>::max(), message);
    if (!is_valid_utf8(content)) {
        throw_io_text_error(message, kInvalidUtf8Cause);
    }
    return content;
}

namespace {

// Opens `path` for reading without following a final symbolic link and without blocking on a
// FIFO or device. An empty descriptor with errno 0 when it is not a regular file; with the
// error otherwise.
// A relative `path` is taken in the directory open at `directory`.
// With `size`, the file's size is stored there.
UniqueFd open_regular_no_follow(const std::filesystem::path& path, int directory = AT_FDCWD,
                                off_t* size = nullptr) {
    UniqueFd fd(::openat(directory, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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
    } else if (size != nullptr) {
        *size = status.st_size;
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
    return read_all(fd.get(), std::numeric_limits<std::size_t>::max(), message);
}

namespace {

std::optional<std::string> read_open_regular_file(const UniqueFd& fd, std::size_t max_bytes) {
    if (!fd) {
        return std::nullopt;
    }
    try {
        return read_all(fd.get(), max_bytes, kIoFailed);
    } catch (const AppError&) {
        // To these callers a file that cannot be read is not there.
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> read_regular_file_if_present(const std::filesystem::path& path,
                                                        std::size_t max_bytes) {
    return read_open_regular_file(open_regular_no_follow(path), max_bytes);
}

std::optional<std::string> read_regular_file_if_present_at(int directory, const std::string& name,
                                                           std::size_t max_bytes) {
    return read_open_regular_file(open_regular_no_follow(name, directory), max_bytes);
}

bool regular_file_holds_at(int directory, const std::string& name, std::string_view expected) {
    off_t size = 0;
    const UniqueFd fd = open_regular_no_follow(name, directory, &size);
    if (!fd || static_cast<std::uint64_t>(size) != expected.size()) {
        return false;
    }
    try {
        return read_at_most(fd.get(), expected.size()) == expected;
    } catch (const AppError&) {
        // To this caller a file that cannot be read does not hold the text.
        return false;
    }
}

}  // namespace snapwright::base
