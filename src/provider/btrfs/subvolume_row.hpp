#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "system/subvolume_facts.hpp"

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
    Accepted,
    // No " path " or no ID value: not a row the tool printed whole, e.g. the remainder of a
    // snapshot name that contains a line break.
    Malformed,
    EmptyPath,
    // White space, a comma, a double quote or a control character: the path cannot be carried
    // in "rootflags=subvol=" on the kernel command line.
    UnbootablePath,
    // Not a snapshot of the running root subvolume.
    OtherParent,
};

struct ParsedRow {
    RowVerdict verdict = RowVerdict::Malformed;
    SubvolumeRow row;  // filled unless malformed
};

// Parses one line of the listing (without its line end). With `root_subvolume_uuid` (lower
// case) only snapshots whose parent is that subvolume are accepted; a row without a parent
// UUID is then refused.
ParsedRow parse_subvolume_row(std::string_view line,
                              const std::optional<std::string>& root_subvolume_uuid);

// Whether `facts`, read from the subvolume at the row's path, describe the subvolume that `row`
// names: equal UUID and parent UUID, compared in lower case. A row without either value is never
// confirmed.
bool facts_confirm_row(const system::SubvolumeFacts& facts, const SubvolumeRow& row);

// Whether the kernel can be handed "rootflags=subvol=/<path>" for this path.
bool kernel_can_carry_path(std::string_view path);

}  // namespace snapwright::provider::btrfs
