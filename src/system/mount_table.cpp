#include "system/mount_table.hpp"

#include <set>

#include <nlohmann/json.hpp>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "system/process.hpp"

namespace snapwright::system {
namespace {

using nlohmann::json;

[[noreturn]] void throw_json_error(const std::string& cause) {
    base::throw_io_text_error(base::kJsonFailed, cause);
}

// A string value, or nothing when the key is absent or null.
std::optional<std::string> optional_text(const json& record, const char* key) {
    const auto found = record.find(key);
    if (found == record.end() || found->is_null()) {
        return std::nullopt;
    }
    if (!found->is_string()) {
        throw_json_error(std::string("invalid type for \"") + key +
                         "\": expected a string or null, found " + found->type_name());
    }
    return found->get<std::string>();
}

void flatten(const json& record, MountTable& table) {
    if (!record.is_object()) {
        throw_json_error(std::string("invalid filesystem record: expected an object, found ") +
                         record.type_name());
    }
    std::optional<std::string> target = optional_text(record, "target");
    std::optional<std::string> fsroot = optional_text(record, "fsroot");
    if (target && fsroot) {
        table.push_back(MountRow{std::move(*target), std::move(*fsroot),
                                 optional_text(record, "uuid"), optional_text(record, "label"),
                                 optional_text(record, "fstype")});
    }
    const auto children = record.find("children");
    if (children == record.end() || children->is_null()) {
        return;
    }
    if (!children->is_array()) {
        throw_json_error(std::string("invalid type for \"children\": expected an array, found ") +
                         children->type_name());
    }
    for (const json& child : *children) {
        flatten(child, table);
    }
}

const MountRow* root_row(const MountTable& table) {
    for (const MountRow& row : table) {
        if (base::same_path(row.target, "/")) {
            return &row;
        }
    }
    return nullptr;
}

bool is_btrfs(const MountRow& row) {
    return row.fstype && *row.fstype == "btrfs";
}

}  // namespace

MountTable parse_findmnt_json(std::string_view text) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& error) {
        throw_json_error(error.what());
    }
    if (!document.is_object()) {
        throw_json_error(std::string("invalid findmnt output: expected an object, found ") +
                         document.type_name());
    }
    const auto filesystems = document.find("filesystems");
    if (filesystems == document.end()) {
        throw_json_error("missing key \"filesystems\"");
    }
    if (!filesystems->is_array()) {
        throw_json_error(
            std::string("invalid type for \"filesystems\": expected an array, found ") +
            filesystems->type_name());
    }
    MountTable table;
    for (const json& record : *filesystems) {
        flatten(record, table);
    }
    return table;
}

MountTable read_mount_table() {
    const std::string output =
        run_checked("findmnt", {"--json", "--output", "TARGET,FSROOT,UUID,LABEL,FSTYPE"},
                    "execute findmnt", "findmnt failed: ");
    return parse_findmnt_json(output);
}

std::string root_filesystem_type(const MountTable& table) {
    const MountRow* root = root_row(table);
    if (root == nullptr || !root->fstype || root->fstype->empty()) {
        base::throw_error("root filesystem type is unavailable");
    }
    return *root->fstype;
}

std::string root_mount_point(const MountTable& table) {
    if (const MountRow* root = root_row(table)) {
        return root->target;
    }
    const MountRow* only_btrfs = nullptr;
    for (const MountRow& row : table) {
        if (is_btrfs(row)) {
            if (only_btrfs != nullptr) {
                base::throw_error("root filesystem mount is unavailable");
            }
            only_btrfs = &row;
        }
    }
    if (only_btrfs == nullptr) {
        base::throw_error("root filesystem mount is unavailable");
    }
    return only_btrfs->target;
}

std::string root_filesystem_uuid(const MountTable& table) {
    const MountRow* root = root_row(table);
    if (root != nullptr && root->uuid && !root->uuid->empty()) {
        return *root->uuid;
    }
    // Several subvolume mounts of one filesystem share its UUID. An empty value names no
    // filesystem, so it neither counts as a UUID nor makes the answer ambiguous.
    std::set<std::string> uuids;
    for (const MountRow& row : table) {
        if (is_btrfs(row) && row.uuid && !row.uuid->empty()) {
            uuids.insert(*row.uuid);
        }
    }
    if (uuids.size() != 1) {
        base::throw_error("cannot determine the root Btrfs filesystem UUID");
    }
    return *uuids.begin();
}

std::string mount_point_containing(const MountTable& table, const std::filesystem::path& path) {
    const MountRow* winner = nullptr;
    std::size_t winner_depth = 0;
    for (const MountRow& row : table) {
        if (!base::path_starts_with(path, row.target)) {
            continue;
        }
        // ">=" lets a later row of the same depth win: a stacked mount hides the earlier one.
        const std::size_t depth = base::path_components(row.target).size();
        if (winner == nullptr || depth >= winner_depth) {
            winner = &row;
            winner_depth = depth;
        }
    }
    if (winner == nullptr) {
        base::throw_error("no mounted filesystem contains " + base::display_path(path));
    }
    return winner->target;
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
    bool valid = id.size() == 32;
    for (const char c : id) {
        valid = valid && base::is_ascii_hex_digit(c);
    }
    if (!valid) {
        base::throw_error("invalid machine-id in " + base::display_path(path));
    }
    return id;
}

std::string read_machine_id(const std::filesystem::path& path) {
    return parse_machine_id(base::read_text_file(path, "read " + base::display_path(path)), path);
}

}  // namespace snapwright::system
