#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace snapwright::triggers {

// The watch mask of every watched directory: entries moved out or in, created or deleted, the
// directory itself deleted, moved or unmounted; directories only, links not followed.
inline constexpr std::uint32_t kWatchMask = 0x03002FC0;

// The watch mask of a directory that appeared in a watched directory: entries created or moved
// in; directories only, links not followed, and never a change to an existing watch (a watched
// directory that is also a child of another one keeps its own mask).
inline constexpr std::uint32_t kChildWatchMask = 0x13000180;

// The entries of a new snapshot directory whose arrival completes the snapshot: its subvolume
// (a directory) and its metadata file, which is renamed into place.
inline constexpr std::string_view kSnapshotEntry = "snapshot";
inline constexpr std::string_view kSnapshotInfo = "info.xml";

// One inotify record: its watch descriptor, event mask and name (padding removed).
struct InotifyRecord {
    int watch = 0;
    std::uint32_t mask = 0;
    std::string name;

    bool operator==(const InotifyRecord&) const = default;
};

// Splits the bytes of one read into records (16-byte headers in machine byte order, each
// followed by its NUL-padded name). Fails with "truncated inotify event record" when a record
// reaches beyond `bytes`, and "trailing bytes in inotify event stream" when fewer than 16 bytes
// are given or bytes are left after the last record.
[[nodiscard]] std::vector<InotifyRecord> parse_inotify_records(std::string_view bytes);

// What one read of inotify records holds for the watcher.
struct EventBatch {
    bool trigger = false;  // a snapshot directory came, went or was completed, or events were lost
    bool invalidated = false;  // a watch of a watched path ended (deleted, moved or unmounted)

    bool operator==(const EventBatch&) const = default;
};

// Judges records. Those of `watched_paths` trigger for directories only; the end of one of
// those watches also invalidates. Any other watch is a child watch of a new snapshot directory:
// it triggers when the snapshot's subvolume appears or its metadata file is renamed in, and its
// end (the directory deleted, or the watch dropped) is no invalidation. A lost-events record
// triggers.
[[nodiscard]] EventBatch judge_inotify_records(const std::vector<InotifyRecord>& records,
                                               const std::set<int>& watched_paths);

// Parses and judges the records of one read as though every watch were of a watched path.
[[nodiscard]] EventBatch walk_inotify_records(std::string_view bytes);

}  // namespace snapwright::triggers
