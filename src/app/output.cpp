#include "app/output.hpp"

#include <cerrno>
#include <cstdio>

#include "base/app_error.hpp"

namespace snapwright::app {

void write_stdout(std::string_view text) {
    errno = 0;
    const std::size_t written = std::fwrite(text.data(), 1, text.size(), stdout);
    if (written != text.size() || std::fflush(stdout) != 0) {
        const int code = errno != 0 ? errno : EIO;
        std::clearerr(stdout);
        base::throw_io_error(code);
    }
}

}  // namespace snapwright::app
