#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <string>

namespace snapwright::triggers {

// "READY=1\nSTATUS=Watching {} snapshot director{y|ies}" for `watched_paths` paths.
[[nodiscard]] std::string readiness_message(std::size_t watched_paths);

// The address of a notification socket named as in NOTIFY_SOCKET: "@name" is the abstract
// socket "name", anything else a filesystem path. Fails with "NOTIFY_SOCKET path is too long"
// when the bytes to place (with the leading or terminating NUL) exceed the 108-byte path field.
struct NotifyAddress {
    sockaddr_un address{};
    socklen_t length = 0;  // the family field plus the bytes placed
};
[[nodiscard]] NotifyAddress notify_address(const std::string& socket_name);

// Sends the readiness message as one datagram to NOTIFY_SOCKET. Does nothing when the variable
// is unset; fails with "NOTIFY_SOCKET is empty", "create systemd notification socket", the
// address error, "send systemd readiness notification" or "short systemd readiness
// notification".
void notify_ready(std::size_t watched_paths);

}  // namespace snapwright::triggers
