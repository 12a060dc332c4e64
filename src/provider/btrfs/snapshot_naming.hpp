#pragma once

#include <string>
#include <string_view>

namespace snapwright::provider::btrfs {

// The snapshot's name from its path: the number of a ".snapshots/<n>/snapshot" layout, the
// directory of a ".../<name>/@" layout, else the last component; "snapshot" for a path without
// components.
std::string snapshot_name(std::string_view path);

// The key's snapshot ID: the identity lower-cased when it is made only of ASCII letters, digits,
// "-", "." and "_" and holds at least one letter or digit; otherwise "rootid-" and the root ID.
std::string snapshot_id(std::string_view identity, std::string_view root_id);

}  // namespace snapwright::provider::btrfs
