#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "store/object_id.hpp"

namespace snapwright::store {

namespace fs = std::filesystem;

// Content-addressed objects under a data root R: R/objects/sha256/XX/DIGEST. The same layout
// serves the archive store and the boot store.

inline constexpr std::string_view kObjectAlgorithm = "sha256";

// Whether `digest` is 64 hexadecimal digits; with `lower_case_only`, letters in lower case only.
bool is_sha256_digest(std::string_view digest, bool lower_case_only = false);
// Throws "unsupported object hash algorithm: {}" or "invalid SHA-256 object digest".
void validate_object_id(const ObjectId& id);
// R/objects/<algorithm>/<first two digits>/<digest>, without validation.
fs::path object_path(const fs::path& root, const ObjectId& id);
// objects/sha256/<first two characters of the digest>: the directory an object lands in,
// relative to the data root ("invalid" stands for a digest too short to have two).
fs::path fan_out_relative(const std::string& digest);

}  // namespace snapwright::store
