#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.hpp"
#include "triggers/schedule.hpp"

namespace snapwright::triggers {

// A configured directory as it was when its watch was registered.
struct WatchedPath {
    std::filesystem::path path;
    int watch = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

// A one-level watch on a directory that appeared in a watched directory, so that a snapshot
// completed inside it after its directory was made still triggers.
struct ChildWatch {
    int parent = -1;   // the watch of the watched directory it appeared in
    std::string name;  // its name there
};

// One inotify instance watching every configured snapshot directory.
struct Watcher {
    base::UniqueFd inotify_descriptor;    // non-blocking, close-on-exec
    base::UniqueFd mount_table;           // this process's mountinfo; priority data on a change
    std::vector<WatchedPath> paths;       // in configured order
    std::map<int, ChildWatch> children;   // by watch descriptor
    std::deque<ScheduleRequest> pending;  // triggers not yet handed out, oldest first
    bool invalidated = false;             // a watched path's watch ended or it names another
                                          // directory now
};

// Checks every path first ("inspect WATCH_PATHS entry {}" with the OS error; "WATCH_PATHS entry
// is not a real directory: {}" for anything but a directory, a link to one included), recording
// its device and inode, then creates the instance ("create inotify instance") and registers
// each path in order ("WATCH_PATHS contains a NUL byte: {}", "register inotify watch for {}").
// The mount table is opened before the paths are examined ("open mount table {}"), so that no
// mount after the check goes unseen.
[[nodiscard]] Watcher open_watcher(const std::vector<std::filesystem::path>& paths);

// Waits up to `timeout` (forever without one) for the next batch of events and returns the one
// detached, debounced `generate` request it asks for, or nothing (timeout, nothing relevant).
// One read yields at most one request. A directory that appears in a watched directory gets a
// child watch for as long as it stays there ("register inotify watch for {}" when that fails
// for another reason than the directory being gone or watched already). When the mount table
// changes and a watched path no longer names the directory that was registered (mounted over,
// replaced), or once a watched path's watch has ended, the request of that read is still handed
// out; the call after it fails with "an inotify watch was invalidated; restart after restoring
// WATCH_PATHS". Poll and read failures and a malformed event stream are errors.
[[nodiscard]] std::optional<ScheduleRequest> next_trigger(
    Watcher& watcher, std::optional<std::chrono::milliseconds> timeout);

}  // namespace snapwright::triggers
