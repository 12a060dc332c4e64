#include "provider/btrfs/subvolume_show.hpp"

#include "base/text.hpp"

namespace snapwright::provider::btrfs {
namespace {

// The value of a "Key: value" line, trimmed.
std::string_view rest_after(std::string_view line, std::string_view key) {
    return base::trim(line.substr(key.size()));
}

bool has_readonly_word(std::string_view flags) {
    for (std::string_view word : base::split_unicode_whitespace(flags)) {
        for (std::string_view piece : base::split(word, ',')) {
            if (piece == "readonly") {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

SubvolumeShow parse_subvolume_show(std::string_view text) {
    SubvolumeShow show;
    for (std::string_view raw : base::split_lines(text)) {
        const std::string_view line = base::trim(raw);
        if (line.starts_with("Snapshot(s):")) {
            break;
        }
        if (!show.uuid && line.size() > 5 && line.starts_with("UUID:")) {
            const std::string_view value = rest_after(line, "UUID:");
            if (!value.empty()) {
                show.uuid = base::to_lower_ascii(value);
            }
        } else if (!show.parent_uuid && line.starts_with("Parent UUID:")) {
            const std::string_view value = rest_after(line, "Parent UUID:");
            if (!value.empty()) {
                show.parent_uuid = base::to_lower_ascii(value);
            }
        } else if (line.size() >= 14 && line.starts_with("Creation time:")) {
            const std::string_view value = rest_after(line, "Creation time:");
            if (!value.empty()) {
                show.creation_time = std::string(value);
            }
        } else if (line.starts_with("Flags:")) {
            show.readonly = has_readonly_word(line.substr(6));
        } else if (line.starts_with("Subvolume flags:")) {
            show.readonly = has_readonly_word(line.substr(16));
        }
    }
    return show;
}

bool show_confirms_row(const SubvolumeShow& show, const SubvolumeRow& row) {
    return row.uuid && row.parent_uuid && show.uuid && show.parent_uuid &&
           base::to_lower_ascii(*row.uuid) == *show.uuid &&
           base::to_lower_ascii(*row.parent_uuid) == *show.parent_uuid;
}

}  // namespace snapwright::provider::btrfs
