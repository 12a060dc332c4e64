#include "triggers/watcher.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <string>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "triggers/inotify_records.hpp"

namespace snapwright::triggers {
namespace {

constexpr std::size_t kReadSize = 16384;
constexpr ScheduleRequest kDebouncedRun{.debounce = true, .synchronous = false};

void check_watch_path(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        base::throw_os_error("inspect WATCH_PATHS entry " + base::display_path(path), errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        base::throw_error("WATCH_PATHS entry is not a real directory: " + base::display_path(path));
    }
}

[[noreturn]] void throw_invalidated() {
    base::throw_error("an inotify watch was invalidated; restart after restoring WATCH_PATHS");
}

std::optional<ScheduleRequest> take_pending(Watcher& watcher) {
    if (watcher.pending.empty()) {
        return std::nullopt;
    }
    const ScheduleRequest request = watcher.pending.front();
    watcher.pending.pop_front();
    return request;
}

int poll_timeout(std::optional<std::chrono::milliseconds> timeout) {
    if (!timeout) {
        return -1;
    }
    const auto milliseconds = std::max<std::chrono::milliseconds::rep>(timeout->count(), 0);
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(milliseconds, 2147483647));
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

}  // namespace

Watcher open_watcher(const std::vector<std::filesystem::path>& paths) {
    for (const std::filesystem::path& path : paths) {
        check_watch_path(path);
    }
    Watcher watcher;
    watcher.inotify_descriptor.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watcher.inotify_descriptor) {
        base::throw_os_error("create inotify instance", errno);
    }
    for (const std::filesystem::path& path : paths) {
        if (path.native().find('\0') != std::string::npos) {
            base::throw_error("WATCH_PATHS contains a NUL byte: " + base::display_path(path));
        }
        if (::inotify_add_watch(watcher.inotify_descriptor.get(), path.c_str(), kWatchMask) < 0) {
            base::throw_os_error("register inotify watch for " + base::display_path(path), errno);
        }
    }
    return watcher;
}

std::optional<ScheduleRequest> next_trigger(Watcher& watcher,
                                            std::optional<std::chrono::milliseconds> timeout) {
    if (auto request = take_pending(watcher)) {
        return request;
    }
    if (watcher.invalidated) {
        throw_invalidated();
    }

    pollfd descriptor{watcher.inotify_descriptor.get(), POLLIN, 0};
    while (true) {
        const int ready = ::poll(&descriptor, 1, poll_timeout(timeout));
        if (ready >= 0) {
            if (ready == 0) {
                return std::nullopt;
            }
            break;
        }
        if (errno != EINTR) {
            base::throw_os_error("poll inotify descriptor", errno);
        }
    }
    const auto revents = static_cast<unsigned>(descriptor.revents);
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        base::throw_error("inotify poll failed with revents=" + hex(revents));
    }
    if ((revents & POLLIN) == 0) {
        return std::nullopt;
    }

    // Aligned for the kernel's records, which are read out with memcpy anyway.
    alignas(8) std::array<char, kReadSize> buffer;
    const ssize_t got = ::read(watcher.inotify_descriptor.get(), buffer.data(), buffer.size());
    if (got < 0) {
        // A signal that interrupts the read loses no record: the caller polls again.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return std::nullopt;
        }
        base::throw_os_error("read inotify events", errno);
    }
    if (got == 0) {
        base::throw_error("inotify event stream ended unexpectedly");
    }

    const EventBatch batch =
        walk_inotify_records(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    watcher.invalidated = watcher.invalidated || batch.invalidated;
    if (batch.trigger && std::find(watcher.pending.begin(), watcher.pending.end(), kDebouncedRun) ==
                             watcher.pending.end()) {
        watcher.pending.push_back(kDebouncedRun);
    }
    if (auto request = take_pending(watcher)) {
        return request;
    }
    if (watcher.invalidated) {
        throw_invalidated();
    }
    return std::nullopt;
}

}  // namespace snapwright::triggers
