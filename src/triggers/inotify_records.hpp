#pragma once

#include <cstdint>
#include <string_view>

namespace snapwright::triggers {

// The watch mask of every watched directory: entries moved out or in, created or deleted, the
// directory itself deleted, moved or unmounted; directories only, links not followed.
inline constexpr std::uint32_t kWatchMask = 0x03002FC0;

// What one read of inotify records holds for the watcher.
struct EventBatch {
    bool trigger = false;      // a snapshot directory came or went, or events were lost
    bool invalidated = false;  // a watch ended (its directory deleted, moved or unmounted)

    bool operator==(const EventBatch&) const = default;
};

// Walks the records of one read (16-byte headers in machine byte order, each followed by its
// NUL-padded name). Entries that are not directories are ignored. Fails with "truncated
// inotify event record" when a record reaches beyond `bytes`, and "trailing bytes in inotify
// event stream" when fewer than 16 bytes are given or bytes are left after the last record.
[[nodiscard]] EventBatch walk_inotify_records(std::string_view bytes);

}  // namespace snapwright::triggers
