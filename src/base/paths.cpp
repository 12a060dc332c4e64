#include "base/paths.hpp"

#include "base/text.hpp"

namespace snapwright::base {

std::vector<std::string> path_components(const fs::path& path) {
    const std::string& text = path.native();
    std::vector<std::string> components;
    if (!text.empty() && text.front() == '/') {
        components.emplace_back("/");
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && text[pos] == '/')
            ++pos;
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] != '/')
            ++pos;
        if (pos > start) {
            std::string name = text.substr(start, pos - start);
            if (name != ".") {
                components.push_back(std::move(name));
            }
        }
    }
    return components;
}

bool same_path(const fs::path& a, const fs::path& b) {
    return path_components(a) == path_components(b);
}

bool path_starts_with(const fs::path& path, const fs::path& prefix) {
    const auto whole = path_components(path);
    const auto head = path_components(prefix);
    if (head.size() > whole.size()) {
        return false;
    }
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i] != whole[i]) {
            return false;
        }
    }
    return true;
}

std::string display_path(const fs::path& path) {
    return lossy_utf8(path.native());
}

fs::path join_under(const fs::path& base, const fs::path& relative) {
    std::string rest = relative.native();
    std::size_t skip = 0;
    while (skip < rest.size() && rest[skip] == '/')
        ++skip;
    rest.erase(0, skip);
    if (rest.empty()) {
        return base;
    }
    return base / fs::path(rest);
}

bool is_ordinary_name(const std::string& component) {
    return !component.empty() && component != "." && component != ".." &&
           component.find('/') == std::string::npos;
}

}  // namespace snapwright::base
