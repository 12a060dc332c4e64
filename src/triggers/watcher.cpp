#include "triggers/watcher.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <set>
#include <string>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "triggers/inotify_records.hpp"

namespace snapwright::triggers {
namespace {

constexpr std::size_t kReadSize = 16384;
constexpr ScheduleRequest kDebouncedRun{.debounce = true, .synchronous = false};
constexpr const char* kMountTablePath = "/proc/self/mountinfo";

struct stat check_watch_path(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        base::throw_os_error("inspect WATCH_PATHS entry " + base::display_path(path), errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        base::throw_error("WATCH_PATHS entry is not a real directory: " + base::display_path(path));
    }
    return status;
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

// A mount over a watched path (or over one of its parents) hides the watched directory without
// any inotify event on it: only the path's identity tells.
bool paths_unchanged(const Watcher& watcher) {
    for (const WatchedPath& watched : watcher.paths) {
        struct stat status {};
        if (::lstat(watched.path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_dev != watched.device || status.st_ino != watched.inode) {
            return false;
        }
    }
    return true;
}

const WatchedPath* watched_path(const Watcher& watcher, int watch) {
    for (const WatchedPath& watched : watcher.paths) {
        if (watched.watch == watch) {
            return &watched;
        }
    }
    return nullptr;
}

void add_child_watch(Watcher& watcher, const WatchedPath& parent, const std::string& name) {
    const std::filesystem::path path = parent.path / name;
    const int watch =
        ::inotify_add_watch(watcher.inotify_descriptor.get(), path.c_str(), kChildWatchMask);
    if (watch >= 0) {
        watcher.children[watch] = ChildWatch{.parent = parent.watch, .name = name};
        return;
    }
    // Gone again or replaced by something else (its removal triggers anyway), or a watched
    // path itself, whose own watch must stay as it is.
    if (errno != ENOENT && errno != ENOTDIR && errno != EEXIST) {
        base::throw_os_error("register inotify watch for " + base::display_path(path), errno);
    }
}

void remove_child_watch(Watcher& watcher, int parent, const std::string& name) {
    for (auto child = watcher.children.begin(); child != watcher.children.end(); ++child) {
        if (child->second.parent == parent && child->second.name == name) {
            // The kernel may have dropped it already (the directory deleted).
            (void)::inotify_rm_watch(watcher.inotify_descriptor.get(), child->first);
            watcher.children.erase(child);
            return;
        }
    }
}

// Keeps one child watch on every directory that is in a watched directory since this watcher
// saw it arrive.
void follow_children(Watcher& watcher, const std::vector<InotifyRecord>& records) {
    for (const InotifyRecord& record : records) {
        const WatchedPath* parent = watched_path(watcher, record.watch);
        if (parent == nullptr) {
            if ((record.mask & IN_IGNORED) != 0) {
                watcher.children.erase(record.watch);
            }
            continue;
        }
        if ((record.mask & IN_ISDIR) == 0) {
            continue;
        }
        if ((record.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
            remove_child_watch(watcher, record.watch, record.name);
        }
        if ((record.mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
            add_child_watch(watcher, *parent, record.name);
        }
    }
}

void read_events(Watcher& watcher) {
    // Aligned for the kernel's records, which are read out with memcpy anyway.
    alignas(8) std::array<char, kReadSize> buffer;
    const ssize_t got = ::read(watcher.inotify_descriptor.get(), buffer.data(), buffer.size());
    if (got < 0) {
        // A signal that interrupts the read loses no record: the caller polls again.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return;
        }
        base::throw_os_error("read inotify events", errno);
    }
    if (got == 0) {
        base::throw_error("inotify event stream ended unexpectedly");
    }

    const std::vector<InotifyRecord> records =
        parse_inotify_records(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    std::set<int> watched;
    for (const WatchedPath& path : watcher.paths) {
        watched.insert(path.watch);
    }
    const EventBatch batch = judge_inotify_records(records, watched);
    watcher.invalidated = watcher.invalidated || batch.invalidated;
    if (batch.trigger && std::find(watcher.pending.begin(), watcher.pending.end(), kDebouncedRun) ==
                             watcher.pending.end()) {
        watcher.pending.push_back(kDebouncedRun);
    }
    // After the batch is recorded: a child watch that cannot be made ends the watcher, and its
    // caller still sees what the batch asked for.
    follow_children(watcher, records);
}

}  // namespace

Watcher open_watcher(const std::vector<std::filesystem::path>& paths) {
    Watcher watcher;
    watcher.mount_table.reset(::open(kMountTablePath, O_RDONLY | O_CLOEXEC));
    if (!watcher.mount_table) {
        base::throw_os_error(std::string("open mount table ") + kMountTablePath, errno);
    }
    for (const std::filesystem::path& path : paths) {
        const struct stat status = check_watch_path(path);
        watcher.paths.push_back({.path = path, .device = status.st_dev, .inode = status.st_ino});
    }
    watcher.inotify_descriptor.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watcher.inotify_descriptor) {
        base::throw_os_error("create inotify instance", errno);
    }
    for (WatchedPath& watched : watcher.paths) {
        if (watched.path.native().find('\0') != std::string::npos) {
            base::throw_error("WATCH_PATHS contains a NUL byte: " +
                              base::display_path(watched.path));
        }
        watched.watch =
            ::inotify_add_watch(watcher.inotify_descriptor.get(), watched.path.c_str(), kWatchMask);
        if (watched.watch < 0) {
            base::throw_os_error("register inotify watch for " + base::display_path(watched.path),
                                 errno);
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

    // The mount table always reads as readable; a change shows as priority data (with an
    // error bit that means nothing more), and polling it marks the change as seen.
    std::array<pollfd, 2> descriptors{pollfd{watcher.inotify_descriptor.get(), POLLIN, 0},
                                      pollfd{watcher.mount_table.get(), POLLPRI, 0}};
    while (true) {
        const int ready = ::poll(descriptors.data(), descriptors.size(), poll_timeout(timeout));
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
    const auto revents = static_cast<unsigned>(descriptors[0].revents);
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        base::throw_error("inotify poll failed with revents=" + hex(revents));
    }
    if ((descriptors[1].revents & POLLPRI) != 0 && !paths_unchanged(watcher)) {
        watcher.invalidated = true;
    }
    if ((revents & POLLIN) != 0) {
        read_events(watcher);
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
