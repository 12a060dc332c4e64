#include "bootloader/booted_subvolume.hpp"

#include <vector>

#include "base/text.hpp"

namespace snapwright::bootloader {

std::optional<std::string> booted_subvolume(std::string_view options) {
    constexpr std::string_view kRootflags = "rootflags=";
    constexpr std::string_view kSubvol = "subvol=";
    std::optional<std::string_view> rootflags;
    for (const std::string_view token : base::split_unicode_whitespace(options)) {
        if (token.starts_with(kRootflags)) {
            rootflags = token.substr(kRootflags.size());
        }
    }
    if (!rootflags) {
        return std::nullopt;
    }
    std::optional<std::string> subvolume;
    for (const std::string_view part : base::split(*rootflags, ',')) {
        if (part.starts_with(kSubvol)) {
            subvolume = std::string(part.substr(kSubvol.size()));
        }
    }
    return subvolume;
}

std::string subvolume_path_from_top_level(std::string_view value) {
    // The kernel walks the value from the top level, where ".." goes no higher.
    std::vector<std::string_view> components;
    for (const std::string_view component : base::split(value, '/')) {
        if (component == "..") {
            if (!components.empty()) {
                components.pop_back();
            }
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
    }
    std::string path;
    for (const std::string_view component : components) {
        path += (path.empty() ? "" : "/") + std::string(component);
    }
    return path;
}

}  // namespace snapwright::bootloader
