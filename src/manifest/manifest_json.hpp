#pragma once

#include <string>
#include <string_view>

#include "manifest/schema.hpp"

namespace snapwright::manifest {

// The complete text of manifest.json: two-space indentation, fields in declared order, map keys
// in ascending byte order, "[]" and "{}" for empty containers, integers in plain decimal, and one
// newline after the final "}". Never fails; a string that is not valid UTF-8 is written with
// U+FFFD in place of each invalid sequence.
[[nodiscard]] std::string serialize_manifest(const SnapshotManifest& manifest);

// Reads a manifest document strictly against the schema: required fields must be present,
// defaulted fields may be missing, unknown fields are ignored, a field may not appear twice in one
// object, asset kinds must be one of the seven names, and integers must fit their type. Whitespace
// and field order are free. Does not check `schema_version`; callers decide what they accept.
// Throws "JSON operation failed" with the problem as cause (for example "missing field `os_name`
// at line 9 column 1").
[[nodiscard]] SnapshotManifest parse_manifest(std::string_view text);

}  // namespace snapwright::manifest
