#include "base/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/app_error.hpp"

namespace snapwright::base {

ssize_t read_retrying(int fd, void* buffer, std::size_t size) {
    while (true) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

ssize_t pread_retrying(int fd, void* buffer, std::size_t size, off_t offset) {
    while (true) {
        const ssize_t got = ::pread(fd, buffer, size, offset);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

std::string read_at_most(int fd, std::size_t size) {
    std::string content(size, '\0');
    std::size_t have = 0;
    while (have < size) {
        const ssize_t got = read_retrying(fd, content.data() + have, size - have);
        if (got < 0) {
            throw_io_error(errno);
        }
        if (got == 0) {
            break;
        }
        have += static_cast<std::size_t>(got);
    }
    content.resize(have);
    return content;
}

std::optional<std::string> read_all(int fd, std::size_t limit, const std::string& message) {
    std::string content;
    char buffer[65536];
    while (true) {
        const ssize_t got = read_retrying(fd, buffer, sizeof buffer);
        if (got < 0) {
            throw_os_error(message, errno);
        }
        if (got == 0) {
            return content;
        }
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > limit) {
            return std::nullopt;
        }
    }
}

void write_all(int fd, std::string_view bytes) {
    const char* data = bytes.data();
    std::size_t size = bytes.size();
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throw_io_error(errno);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void fsync_or_throw(int fd) {
    if (::fsync(fd) != 0) {
        throw_io_error(errno);
    }
}

UniqueFd open_directory(const std::filesystem::path& directory, int extra_flags) {
    return UniqueFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra_flags));
}

void sync_directory(const std::filesystem::path& directory) {
    const UniqueFd fd = open_directory(directory);
    if (!fd) {
        throw_io_error(errno);
    }
    fsync_or_throw(fd.get());
}

void sync_filesystem_of(const std::filesystem::path& directory) {
    const UniqueFd fd = open_directory(directory);
    if (!fd) {
        throw_io_error(errno);
    }
    if (::syncfs(fd.get()) != 0) {
        throw_io_error(errno);
    }
    fsync_or_throw(fd.get());
}

}  // namespace snapwright::base
