#include "config/load_config.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "base/app_error.hpp"
#include "base/file_io.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::config {
namespace {

[[noreturn]] void refuse_non_regular(const std::filesystem::path& path) {
    base::throw_error("configuration is not a regular file: " + base::display_path(path));
}

}  // namespace

Config load_config(const std::filesystem::path& path) {
    const std::string shown = base::display_path(path);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return default_config();
        }
        base::throw_os_error("inspect " + shown, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        refuse_non_regular(path);
    }

    // The file may be swapped between the check and the open: refuse a link that appeared
    // meanwhile, never block on a FIFO, and check again what was actually opened.
    const std::string read_message = "read " + shown;
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        base::throw_os_error(read_message, errno);
    }
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) {
        base::throw_os_error(read_message, errno);
    }
    if (!S_ISREG(opened.st_mode)) {
        refuse_non_regular(path);
    }
    const std::string text =
        *base::read_all(fd.get(), std::numeric_limits<std::size_t>::max(), read_message);
    if (!base::is_valid_utf8(text)) {
        base::throw_io_text_error(read_message, base::kInvalidUtf8Cause);
    }
    return parse_config(text);
}

}  // namespace snapwright::config
