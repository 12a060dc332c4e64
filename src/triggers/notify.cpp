#include "triggers/notify.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/app_error.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::triggers {

std::string readiness_message(std::size_t watched_paths) {
    return "READY=1\nSTATUS=Watching " + std::to_string(watched_paths) + " snapshot director" +
           (watched_paths == 1 ? "y" : "ies");
}

NotifyAddress notify_address(const std::string& socket_name) {
    NotifyAddress result;
    result.address.sun_family = AF_UNIX;
    const bool abstract = socket_name.starts_with('@');
    const std::string_view name =
        abstract ? std::string_view(socket_name).substr(1) : std::string_view(socket_name);
    // The abstract form starts with a NUL byte; a filesystem path ends with one.
    const std::size_t placed = name.size() + 1;
    static_assert(sizeof(result.address.sun_path) == 108);
    if (placed > sizeof(result.address.sun_path)) {
        base::throw_error("NOTIFY_SOCKET path is too long");
    }
    std::memcpy(result.address.sun_path + (abstract ? 1 : 0), name.data(), name.size());
    result.length = static_cast<socklen_t>(sizeof(result.address.sun_family) + placed);
    return result;
}

void notify_ready(std::size_t watched_paths) {
    const char* socket_name = std::getenv("NOTIFY_SOCKET");
    if (socket_name == nullptr) {
        return;
    }
    if (*socket_name == '\0') {
        base::throw_error("NOTIFY_SOCKET is empty");
    }
    const std::string message = readiness_message(watched_paths);
    const base::UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        base::throw_os_error("create systemd notification socket", errno);
    }
    const NotifyAddress target = notify_address(socket_name);
    const ssize_t sent =
        ::sendto(socket.get(), message.data(), message.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&target.address), target.length);
    if (sent < 0) {
        base::throw_os_error("send systemd readiness notification", errno);
    }
    if (static_cast<std::size_t>(sent) != message.size()) {
        base::throw_error("short systemd readiness notification");
    }
}

}  // namespace snapwright::triggers
