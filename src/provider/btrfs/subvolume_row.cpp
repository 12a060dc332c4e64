#include "provider/btrfs/subvolume_row.hpp"

#include <vector>

#include "base/text.hpp"

namespace snapwright::provider::btrfs {
namespace {

using Tokens = std::vector<std::string_view>;

// The token after the first token equal to `key`, if there is one.
std::optional<std::string> value_after(const Tokens& tokens, std::string_view key) {
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i] == key) {
            if (i + 1 < tokens.size()) {
                return std::string(tokens[i + 1]);
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

bool is_key_token(std::string_view token) {
    return token == "parent_uuid" || token == "received_uuid" || token == "uuid" || token == "path";
}

// The creation time spans several tokens ("2024-03-01 10:00:00"); it ends at the next key the
// listing prints, which with -q and -R is "parent_uuid" rather than "uuid".
std::string otime_of(const Tokens& tokens) {
    std::string otime;
    std::size_t i = 0;
    while (i < tokens.size() && tokens[i] != "otime") {
        ++i;
    }
    for (++i; i < tokens.size() && !is_key_token(tokens[i]); ++i) {
        if (!otime.empty()) {
            otime += ' ';
        }
        otime.append(tokens[i]);
    }
    return otime;
}

}  // namespace

bool kernel_can_carry_path(std::string_view path) {
    // The kernel splits its command line at bytes that its Latin-1 table calls blank, and 0xA0
    // is one of them, even inside a UTF-8 sequence.
    if (path.find('\xA0') != std::string_view::npos) {
        return false;
    }
    std::size_t pos = 0;
    while (pos < path.size()) {
        const char32_t c = base::decode_utf8(path, pos);
        if (base::is_unicode_space(c) || c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == ',' ||
            c == '"') {
            return false;
        }
    }
    return true;
}

ParsedRow parse_subvolume_row(std::string_view line,
                              const std::optional<std::string>& root_subvolume_uuid) {
    ParsedRow parsed;
    const std::size_t marker = line.find(" path ");
    if (marker == std::string_view::npos) {
        return parsed;
    }
    std::string_view path = base::trim(line.substr(marker + 6));
    while (!path.empty() && path.front() == '/') {
        path.remove_prefix(1);
    }
    const Tokens tokens = base::split_unicode_whitespace(line.substr(0, marker));
    SubvolumeRow& row = parsed.row;
    row.path = std::string(path);
    const std::optional<std::string> root_id = value_after(tokens, "ID");
    if (row.path.empty()) {
        parsed.verdict = root_id ? RowVerdict::EmptyPath : RowVerdict::Malformed;
        return parsed;
    }
    if (!root_id) {
        return parsed;
    }
    row.root_id = *root_id;
    row.uuid = value_after(tokens, "uuid");
    row.identity = row.uuid.value_or(row.root_id);
    row.parent_uuid = value_after(tokens, "parent_uuid");
    row.otime = otime_of(tokens);

    if (root_subvolume_uuid && (!row.parent_uuid || *row.parent_uuid == "-" ||
                                base::to_lower_ascii(*row.parent_uuid) != *root_subvolume_uuid)) {
        parsed.verdict = RowVerdict::OtherParent;
    } else if (!kernel_can_carry_path(row.path)) {
        parsed.verdict = RowVerdict::UnbootablePath;
    } else {
        parsed.verdict = RowVerdict::Accepted;
    }
    return parsed;
}

bool facts_confirm_row(const system::SubvolumeFacts& facts, const SubvolumeRow& row) {
    return row.uuid && row.parent_uuid && base::to_lower_ascii(*row.uuid) == facts.uuid &&
           base::to_lower_ascii(*row.parent_uuid) == facts.parent_uuid;
}

}  // namespace snapwright::provider::btrfs
