#include "store/object_store.hpp"

#include <string_view>
#include <vector>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"

namespace snapwright::store {
namespace {

constexpr std::string_view kAlgorithm = "sha256";
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

void validate_object_id(const ObjectId& id) {
    if (id.algorithm != kAlgorithm) {
        base::throw_error("unsupported object hash algorithm: " + id.algorithm);
    }
    if (id.digest.size() != kDigestLength) {
        base::throw_error("invalid SHA-256 object digest");
    }
    for (char c : id.digest) {
        if (!base::is_ascii_hex_digit(c)) {
            base::throw_error("invalid SHA-256 object digest");
        }
    }
}

fs::path object_path(const fs::path& root, const ObjectId& id) {
    return root / "objects" / id.algorithm / fan_out_name(id.digest) / id.digest;
}

std::string boot_object_path(const fs::path& boot_data_root, const fs::path& boot_data_relative,
                             const ObjectId& id) {
    const std::vector<std::string> root = base::path_components(boot_data_root);
    const std::vector<std::string> object = base::path_components(object_path(boot_data_root, id));
    if (!base::path_starts_with(object_path(boot_data_root, id), boot_data_root)) {
        base::throw_error("object path escaped the data root");
    }
    std::vector<std::string> names = base::path_components(boot_data_relative);
    names.insert(names.end(), object.begin() + static_cast<std::ptrdiff_t>(root.size()),
                 object.end());
    std::string text;
    for (const std::string& name : names) {
        if (!base::is_ordinary_name(name)) {
            continue;
        }
        text += "/";
        text += base::lossy_utf8(name);
    }
    return text.empty() ? "/" : text;
}

}  // namespace snapwright::store
