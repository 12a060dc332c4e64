#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace snapwright::provider::btrfs {

// What the listing needs from one row of `btrfs subvolume list -s -u -q -R`.
struct SubvolumeRow {
    std::string root_id;                     // the "ID" value as printed
    std::string identity;                    // the "uuid" value, else the root ID
    std::optional<std::string> uuid;         // the "uuid" value as printed
    std::optional<std::string> parent_uuid;  // the "parent_uuid" value as printed
    std::string otime;                       // empty when the row has none
    std::string path;                        // relative to the top level, no leading "/"

    bool operator==(const SubvolumeRow&) const = default;
};

enum class RowVerdict {
    accepted,
    // No " path " or no ID value: not a row the tool printed whole, e.g. the remainder of a
    // snapshot name that contains a line break.
    malformed,
    empty_path,
    // White space, a comma, a double quote or a control character: the path cannot be carried
    // in "rootflags=subvol=" on the kernel command line.
    unbootable_path,
    // Not a snapshot of the running root subvolume.
    other_parent,
};

struct ParsedRow {
    RowVerdict verdict = RowVerdict::malformed;
    SubvolumeRow row;  // filled unless malformed
};

// Parses one line of the listing (without its line end). With `root_subvolume_uuid` (lower
// case) only snapshots whose parent is that subvolume are accepted; a row without a parent
// UUID is then refused.
ParsedRow parse_subvolume_row(std::string_view line,
                              const std::optional<std::string>& root_subvolume_uuid);

// Whether the kernel can be handed "rootflags=subvol=/<path>" for this path.
bool kernel_can_carry_path(std::string_view path);

}  // namespace snapwright::provider::btrfs
