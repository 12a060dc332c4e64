#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "provider/btrfs/subvolume_row.hpp"

namespace snapwright::provider::btrfs {

// What the listing needs from `btrfs subvolume show` of one snapshot.
struct SubvolumeShow {
    std::optional<std::string> uuid;         // the "UUID:" value, lower-cased
    std::optional<std::string> parent_uuid;  // the "Parent UUID:" value, lower-cased
    std::optional<std::string> creation_time;
    bool readonly = false;

    bool operator==(const SubvolumeShow&) const = default;
};

// Reads the output line by line, each line trimmed. The last non-empty "Creation time:" and
// the last flags line count. Nothing from the "Snapshot(s):" line on is read: that section lists
// the paths of other subvolumes, whose names anyone who can make a snapshot chooses.
SubvolumeShow parse_subvolume_show(std::string_view text);

// Whether `show` describes the subvolume that `row` names: equal UUID and parent UUID, compared
// in lower case. A row without either value is never confirmed.
bool show_confirms_row(const SubvolumeShow& show, const SubvolumeRow& row);

}  // namespace snapwright::provider::btrfs
