#include "store/object_layout.hpp"

#include <algorithm>

#include "base/app_error.hpp"
#include "base/text.hpp"

namespace snapwright::store {
namespace {

constexpr std::size_t kDigestLength = 64;

// The first two characters of the digest; "invalid" for an id too short to have them.
std::string fan_out_name(const std::string& digest) {
    std::size_t pos = 0;
    for (int taken = 0; taken < 2; ++taken) {
        if (pos >= digest.size()) {
            return "invalid";
        }
        base::decode_utf8(digest, pos);
    }
    return digest.substr(0, pos);
}

}  // namespace

bool is_sha256_digest(std::string_view digest, bool lower_case_only) {
    return digest.size() == kDigestLength && std::all_of(digest.begin(), digest.end(), [&](char c) {
               return base::is_ascii_hex_digit(c) && !(lower_case_only && c >= 'A' && c <= 'F');
           });
}

void validate_object_id(const ObjectId& id) {
    if (id.algorithm != kObjectAlgorithm) {
        base::throw_error("unsupported object hash algorithm: " + id.algorithm);
    }
    if (!is_sha256_digest(id.digest)) {
        base::throw_error("invalid SHA-256 object digest");
    }
}

fs::path object_path(const fs::path& root, const ObjectId& id) {
    return root / "objects" / id.algorithm / fan_out_name(id.digest) / id.digest;
}

fs::path fan_out_relative(const std::string& digest) {
    return fs::path("objects") / std::string(kObjectAlgorithm) / fan_out_name(digest);
}

}  // namespace snapwright::store
