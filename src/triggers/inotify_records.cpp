#include "triggers/inotify_records.hpp"

#include <sys/inotify.h>

#include <cstring>

#include "base/app_error.hpp"

namespace snapwright::triggers {
namespace {

constexpr std::size_t kHeaderSize = 16;
static_assert(sizeof(inotify_event) == kHeaderSize);

constexpr std::uint32_t kWatchEnded = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
constexpr std::uint32_t kWholeWatchChanged =
    IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_Q_OVERFLOW;
constexpr std::uint32_t kEntryChanged = IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE;

[[noreturn]] void trailing_bytes() {
    base::throw_error("trailing bytes in inotify event stream");
}

}  // namespace

EventBatch walk_inotify_records(std::string_view bytes) {
    if (bytes.size() < kHeaderSize) {
        trailing_bytes();
    }
    EventBatch batch;
    std::size_t offset = 0;
    while (true) {
        inotify_event header{};
        std::memcpy(&header, bytes.data() + offset, kHeaderSize);
        if (header.len > bytes.size() - offset - kHeaderSize) {
            base::throw_error("truncated inotify event record");
        }
        if ((header.mask & kWatchEnded) != 0) {
            batch.invalidated = true;
        }
        if ((header.mask & kWholeWatchChanged) != 0 ||
            ((header.mask & IN_ISDIR) != 0 && (header.mask & kEntryChanged) != 0)) {
            batch.trigger = true;
        }
        offset += kHeaderSize + header.len;
        if (bytes.size() - offset < kHeaderSize) {
            break;
        }
    }
    if (offset != bytes.size()) {
        trailing_bytes();
    }
    return batch;
}

}  // namespace snapwright::triggers
