#include "system/executable_link.hpp"

#include <unistd.h>

#include <cerrno>

#include "base/app_error.hpp"

namespace snapwright::system {

std::string read_executable_link() {
    std::string buffer(256, '\0');
    while (true) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            base::throw_os_error("locate snapwright executable", errno);
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace snapwright::system
