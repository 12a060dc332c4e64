#include "provider/btrfs/snapshot_naming.hpp"

#include <vector>

#include "base/text.hpp"

namespace snapwright::provider::btrfs {
namespace {

bool is_ascii_alnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::string snapshot_name(std::string_view path) {
    std::vector<std::string_view> parts;
    for (std::string_view piece : base::split(path, '/')) {
        if (!piece.empty() && piece != ".") {
            parts.push_back(piece);
        }
    }
    const std::size_t n = parts.size();
    if (n >= 3 && parts[n - 1] == "snapshot" && parts[n - 3] == ".snapshots") {
        return std::string(parts[n - 2]);
    }
    if (n >= 2 && parts[n - 1] == "@") {
        return std::string(parts[n - 2]);
    }
    if (n >= 1) {
        return std::string(parts[n - 1]);
    }
    return "snapshot";
}

std::string snapshot_id(std::string_view identity, std::string_view root_id) {
    bool has_alnum = false;
    bool clean = true;
    for (char c : identity) {
        has_alnum = has_alnum || is_ascii_alnum(c);
        clean = clean && base::is_portable_name_char(c);
    }
    if (has_alnum && clean) {
        return base::to_lower_ascii(identity);
    }
    return "rootid-" + std::string(root_id);
}

}  // namespace snapwright::provider::btrfs
