#include "bootloader/boot_paths.hpp"

#include <vector>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "store/object_layout.hpp"

namespace snapwright::bootloader {
namespace {

std::vector<std::string> named_components(const fs::path& path) {
    std::vector<std::string> names;
    for (std::string& component : base::path_components(path)) {
        if (base::is_ordinary_name(component)) {
            names.push_back(std::move(component));
        }
    }
    return names;
}

}  // namespace

std::string boot_asset_path(const fs::path& boot_data_relative, const store::ObjectId& id) {
    store::validate_object_id(id);
    // The reverse mapping lower-cases the digest, so an upper-case one would name an object
    // other than the one deployed.
    if (!store::is_sha256_digest(id.digest, true)) {
        base::throw_error("invalid SHA-256 object digest");
    }
    std::string path;
    for (const std::string& name : named_components(boot_data_relative)) {
        path += "/" + base::lossy_utf8(name);
    }
    return path + "/objects/" + id.algorithm + "/" + id.digest.substr(0, 2) + "/" + id.digest;
}

store::ObjectId object_id_from_boot_path(std::string_view path,
                                         const fs::path& boot_data_relative) {
    const std::string shown(path);
    std::vector<std::string> components = base::path_components(shown);
    if (components.empty() || components.front() != "/") {
        base::throw_error("generated boot asset path is not absolute: " + shown);
    }
    components.erase(components.begin());

    std::vector<std::string> prefix = base::path_components(boot_data_relative);
    if (!prefix.empty() && prefix.front() == "/") {
        prefix.erase(prefix.begin());
    }
    const auto outside = [&] {
        base::throw_error("generated boot asset path is outside the snapwright object namespace: " +
                          shown);
    };
    if (components.size() != prefix.size() + 4) {
        outside();
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (components[i] != prefix[i]) {
            outside();
        }
    }
    const std::string& objects = components[prefix.size()];
    const std::string& algorithm = components[prefix.size() + 1];
    const std::string& fan_out = components[prefix.size() + 2];
    const std::string digest = base::to_lower_ascii(components[prefix.size() + 3]);
    if (objects != "objects" || algorithm != "sha256" || !base::is_ordinary_name(fan_out) ||
        !base::is_ordinary_name(components[prefix.size() + 3])) {
        outside();
    }
    if (fan_out.size() != 2 || !store::is_sha256_digest(digest, true) ||
        !base::equals_ignore_ascii_case(fan_out, digest.substr(0, 2))) {
        base::throw_error("generated boot asset path has an invalid content digest: " + shown);
    }
    return store::ObjectId{"sha256", digest};
}

}  // namespace snapwright::bootloader
