#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace snapwright::provider::btrfs {

// What the tool that made a snapshot recorded beside it.
struct SnapshotMetadata {
    std::string source = "manual";  // "snapper", "timeshift", "yabsnap" or "manual"
    std::string type;
    std::string description;
    std::string date;

    bool operator==(const SnapshotMetadata&) const = default;
};

// The trimmed text between the first "<name>" and the first "</name>" after it; empty when
// either is missing. Entities are not decoded; an opening tag with attributes does not count.
std::string element_text(std::string_view xml, std::string_view name);

// The metadata of a Snapper info.xml text.
SnapshotMetadata parse_snapper_info(std::string_view xml);
// The metadata of a Timeshift info.json text, or nothing when it is not JSON.
std::optional<SnapshotMetadata> parse_timeshift_info(std::string_view json);
// The metadata of a yabsnap "-meta.json" text, or nothing when it is not JSON.
std::optional<SnapshotMetadata> parse_yabsnap_meta(std::string_view json);

}  // namespace snapwright::provider::btrfs
