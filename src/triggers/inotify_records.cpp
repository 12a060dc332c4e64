#include "triggers/inotify_records.hpp"

#include <sys/inotify.h>

#include <cstring>

#include "base/app_error.hpp"

namespace snapwright::triggers {
namespace {

constexpr std::size_t kHeaderSize = 16;
static_assert(sizeof(inotify_event) == kHeaderSize);
static_assert(kChildWatchMask ==
              (IN_CREATE | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW | IN_MASK_CREATE));

constexpr std::uint32_t kWatchEnded = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
constexpr std::uint32_t kWholeWatchChanged = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;
constexpr std::uint32_t kEntryChanged = IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE;

[[noreturn]] void trailing_bytes() {
    base::throw_error("trailing bytes in inotify event stream");
}

bool completes_snapshot(const InotifyRecord& record) {
    if ((record.mask & IN_ISDIR) != 0) {
        return (record.mask & (IN_CREATE | IN_MOVED_TO)) != 0 && record.name == kSnapshotEntry;
    }
    return (record.mask & IN_MOVED_TO) != 0 && record.name == kSnapshotInfo;
}

}  // namespace

std::vector<InotifyRecord> parse_inotify_records(std::string_view bytes) {
    if (bytes.size() < kHeaderSize) {
        trailing_bytes();
    }
    std::vector<InotifyRecord> records;
    std::size_t offset = 0;
    while (true) {
        inotify_event header{};
        std::memcpy(&header, bytes.data() + offset, kHeaderSize);
        if (header.len > bytes.size() - offset - kHeaderSize) {
            base::throw_error("truncated inotify event record");
        }
        const std::string_view padded = bytes.substr(offset + kHeaderSize, header.len);
        records.push_back({.watch = header.wd,
                           .mask = header.mask,
                           .name = std::string(padded.substr(0, padded.find('\0')))});
        offset += kHeaderSize + header.len;
        if (bytes.size() - offset < kHeaderSize) {
            break;
        }
    }
    if (offset != bytes.size()) {
        trailing_bytes();
    }
    return records;
}

EventBatch judge_inotify_records(const std::vector<InotifyRecord>& records,
                                 const std::set<int>& watched_paths) {
    EventBatch batch;
    for (const InotifyRecord& record : records) {
        if ((record.mask & IN_Q_OVERFLOW) != 0) {
            batch.trigger = true;
        } else if (!watched_paths.contains(record.watch)) {
            batch.trigger = batch.trigger || completes_snapshot(record);
        } else {
            batch.invalidated = batch.invalidated || (record.mask & kWatchEnded) != 0;
            batch.trigger = batch.trigger || (record.mask & kWholeWatchChanged) != 0 ||
                            ((record.mask & IN_ISDIR) != 0 && (record.mask & kEntryChanged) != 0);
        }
    }
    return batch;
}

EventBatch walk_inotify_records(std::string_view bytes) {
    std::vector<InotifyRecord> records = parse_inotify_records(bytes);
    std::set<int> watches;
    for (const InotifyRecord& record : records) {
        watches.insert(record.watch);
    }
    return judge_inotify_records(records, watches);
}

}  // namespace snapwright::triggers
