#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace snapwright::base {

// The document of `text` when it is plain JSON: ASCII strings with only the short escapes,
// integers that fit 64 bits, no member twice in one object, at most 64 levels deep. Nothing for
// any other text, valid or not, which the caller reads with the full reader instead, and which
// reports what is wrong. What this returns is exactly the document the full reader builds, value
// types included; it only spares the cost of that reader for the documents this program writes.
std::optional<nlohmann::ordered_json> parse_plain_json(std::string_view text);

}  // namespace snapwright::base
