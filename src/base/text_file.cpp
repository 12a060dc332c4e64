#include "base/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
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

std::optional<std::string> read_regular_file_if_present(const std::filesystem::path& path,
                                                        std::size_t max_bytes) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    try {
        return read_all(fd.get(), max_bytes, kIoFailed);
    } catch (const AppError&) {
        // To these callers a file that cannot be read is not there.
        return std::nullopt;
    }
}

}  // namespace snapwright::base
