#include "system/mount_table.hpp"

#include <set>

#include <nlohmann/json.hpp>

#include "base/app_error.hpp"
#include "base/json_reader.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "system/process.hpp"

namespace snapwright::system {
namespace {

using nlohmann::json;

// A string value, or nothing when the key is absent or null.
std::optional<std::string> optional_text(const json& record, const char* key) {
    const auto found = record.find(key);
    if (found == record.end() || found->is_null()) {
        return std::nullopt;
    }
    if (!found->is_string()) {
        base::fail_json(std::string("invalid type for \"") + key +
                        "\": expected a string or null, found " + found->type_name());
    }
    return found->get<std::string>();
}

void flatten(const json& record, MountTable& table) {
    if (!record.is_object()) {
        base::fail_json(std::string("invalid filesystem record: expected an object, found ") +
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
        base::fail_json(std::string("invalid type for \"children\": expected an array, found ") +
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
        base::fail_json(error.what());
    }
    if (!document.is_object()) {
        base::fail_json(std::string("invalid findmnt output: expected an object, found ") +
                        document.type_name());
    }
    const auto filesystems = document.find("filesystems");
    if (filesystems == document.end()) {
        base::fail_json("missing key \"filesystems\"");
    }
    if (!filesystems->is_array()) {
        base::fail_json(std::string("invalid type for \"filesystems\": expected an array, found ") +
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

}  // namespace snapwright::system
