#include "bootloader/entry_parser.hpp"

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/system_paths.hpp"
#include "base/text.hpp"

namespace snapwright::bootloader {
namespace {

constexpr std::size_t kMaxFileNameBytes = 255;
constexpr std::string_view kConfSuffix = ".conf";

struct KeyValue {
    std::string key;  // folded to ASCII lower case
    std::string_view value;
};

// The key and value of one entry line, or none for a line that carries no field: blank, a
// comment, or a bare key without a value.
std::optional<KeyValue> split_entry_line(std::string_view raw_line) {
    const std::string_view line = base::trim(raw_line);
    if (line.empty() || line.front() == '#') {
        return std::nullopt;
    }
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t start = pos;
        if (base::is_unicode_space(base::decode_utf8(line, pos))) {
            return KeyValue{base::to_lower_ascii(line.substr(0, start)),
                            base::trim(line.substr(pos))};
        }
    }
    return std::nullopt;
}

void check_file_name(std::string_view name) {
    bool valid = !name.empty() && name.size() <= kMaxFileNameBytes;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F) {
            valid = false;
        }
    }
    if (!valid) {
        base::throw_error("invalid systemd-boot entry filename");
    }
}

std::string title_from_file_name(std::string_view name) {
    while (name.ends_with(kConfSuffix)) {
        name.remove_suffix(kConfSuffix.size());
    }
    return std::string(name);
}

std::string checked_asset_path(std::string_view value) {
    check_asset_path(value);
    return std::string(value);
}

}  // namespace

void check_asset_path(std::string_view value) {
    const std::string_view path = base::trim(value);
    bool safe = path.starts_with('/');
    for (const std::string& component : base::path_components(std::string(path))) {
        if (component == "..") {
            safe = false;
        }
    }
    if (!safe) {
        base::throw_error("unsafe systemd-boot asset path: " + std::string(value));
    }
}

BootEntry parse_entry(std::string_view file_name, std::string_view text) {
    check_file_name(file_name);
    BootEntry entry;
    entry.file_name = std::string(file_name);
    entry.text = std::string(text);
    std::optional<std::string> title;
    for (const std::string_view line : base::split_lines(text)) {
        const auto field = split_entry_line(line);
        if (!field) {
            continue;
        }
        const std::string& key = field->key;
        const std::string_view value = field->value;
        if (key == "title") {
            title = std::string(value);
        } else if (key == "version") {
            entry.version = std::string(value);
        } else if (key == "machine-id") {
            entry.machine_id = std::string(value);
        } else if (key == "sort-key") {
            entry.sort_key = std::string(value);
        } else if (key == "architecture") {
            entry.architecture = std::string(value);
        } else if (key == "options") {
            if (!entry.options.empty()) {
                entry.options += ' ';
            }
            entry.options += value;
        } else if (key == "linux") {
            entry.linux = checked_asset_path(value);
        } else if (key == "initrd") {
            entry.initrd.push_back(checked_asset_path(value));
        } else if (key == "devicetree") {
            entry.devicetree = checked_asset_path(value);
        } else if (key == "efi") {
            entry.efi = std::string(value);
        } else if (key == "uki") {
            entry.uki = std::string(value);
        } else if (key == "uki-url") {
            // Fetched over the network at boot: nothing on the boot filesystem to unpack.
        } else if (key == "devicetree-overlay") {
            base::throw_error("unsupported Type #1 field devicetree-overlay in " + entry.file_name +
                              "; overlay assets are not captured");
        } else {
            base::throw_error("unsupported Type #1 field " + key + " in " + entry.file_name);
        }
    }
    entry.title = title ? std::move(*title) : title_from_file_name(file_name);
    return entry;
}

bool has_ownership_marker(std::string_view text) {
    for (const std::string_view line : base::split_lines(text)) {
        if (base::trim(line) == base::kOwnershipMarker) {
            return true;
        }
    }
    return false;
}

bool is_owned_entry(const BootEntry& entry) {
    return entry.file_name.starts_with(base::kEntryPrefix) || has_ownership_marker(entry.text);
}

std::optional<std::string> entry_machine_id(std::string_view text) {
    std::optional<std::string> machine_id;
    for (const std::string_view line : base::split_lines(text)) {
        const auto field = split_entry_line(line);
        if (field && field->key == "machine-id") {
            machine_id = std::string(field->value);
        }
    }
    return machine_id;
}

}  // namespace snapwright::bootloader
