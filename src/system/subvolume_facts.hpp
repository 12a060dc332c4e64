#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace snapwright::system {

// What the snapshot listing needs to know about one subvolume, in the text forms that
// `btrfs subvolume show` prints them.
struct SubvolumeFacts {
    // Lower-case UUIDs; "-" where the subvolume has none (a top level of an old filesystem, a
    // subvolume that is not a snapshot).
    std::string uuid;
    std::string parent_uuid;
    // The creation time in local time, "2024-03-01 10:00:00 +0100"; "-" when it is not recorded.
    std::string creation_time;
    bool read_only = false;

    bool operator==(const SubvolumeFacts&) const = default;
};

// The facts of the subvolume whose root directory is `path` (symbolic links followed), read
// with one query instead of `btrfs subvolume show`, which also walks every other subvolume of
// the filesystem. Nothing when the path cannot be opened, is not the root of a Btrfs subvolume,
// or the filesystem refuses the query.
std::optional<SubvolumeFacts> read_subvolume_facts(const std::filesystem::path& path);
// The same for the directory open at `directory`, which stays the caller's.
std::optional<SubvolumeFacts> read_subvolume_facts_at(int directory);

// The canonical 8-4-4-4-12 lower-case form of a UUID, or "-" for the all-zero UUID, as
// btrfs-progs prints it.
std::string subvolume_uuid_text(const std::uint8_t (&bytes)[16]);

// The creation time text for seconds since the epoch, formatted as above in the local time zone.
std::string subvolume_time_text(long long seconds);

}  // namespace snapwright::system
