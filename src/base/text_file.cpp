#include "base/text_file.hpp"

#include <fcntl.h>
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
            if (errno == EINTR) continue;
            throw_os_error(message, errno);
        }
        if (got == 0) break;
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

}  // namespace snapwright::base
