#include "system/host_identity.hpp"

#include <algorithm>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"

namespace snapwright::system {

bool is_machine_id(std::string_view text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(), base::is_ascii_hex_digit);
}

std::string parse_os_name(std::string_view text, const std::filesystem::path& path) {
    std::string name;
    std::string pretty_name;
    for (const std::string_view line : base::split_lines(text)) {
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = base::trim(line.substr(0, equals));
        std::string_view value = base::trim(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == value.back() &&
            (value.front() == '"' || value.front() == '\'')) {
            value = value.substr(1, value.size() - 2);
        }
        if (value.empty()) {
            continue;
        }
        if (key == "NAME") {
            name = value;
        } else if (key == "PRETTY_NAME") {
            pretty_name = value;
        }
    }
    if (!pretty_name.empty()) {
        return pretty_name;
    }
    if (!name.empty()) {
        return name;
    }
    base::throw_error(base::display_path(path) + " has no NAME or PRETTY_NAME");
}

std::string read_os_name(const std::filesystem::path& path) {
    return parse_os_name(base::read_text_file(path, "read " + base::display_path(path)), path);
}

std::string parse_machine_id(std::string_view text, const std::filesystem::path& path) {
    std::string id = base::to_lower_ascii(base::trim(text));
    if (!is_machine_id(id)) {
        base::throw_error("invalid machine-id in " + base::display_path(path));
    }
    return id;
}

std::string read_machine_id(const std::filesystem::path& path) {
    return parse_machine_id(base::read_text_file(path, "read " + base::display_path(path)), path);
}

}  // namespace snapwright::system
