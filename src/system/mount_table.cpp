#include "system/mount_table.hpp"

#include <set>
#include <utility>

#include "base/app_error.hpp"
#include "base/json_reader.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "system/process.hpp"

namespace snapwright::system {
namespace {

// A string member, or nothing when it is null.
std::optional<std::string> optional_text(base::JsonReader& reader, const base::Json& value,
                                         const std::string& path) {
    if (value.is_null()) {
        return std::nullopt;
    }
    if (!value.is_string()) {
        reader.invalid_type(value, path, "a string or null");
    }
    return value.get<std::string>();
}

// Adds the record and, depth first, its children: findmnt nests each mount below the one it
// is mounted on.
void flatten(base::JsonReader& reader, const base::Json& record, const std::string& path,
             MountTable& table) {
    MountRow row;
    std::optional<std::string> target;
    std::optional<std::string> fsroot;
    const base::Json* children = nullptr;
    std::string children_path;
    const std::pair<const char*, std::optional<std::string>*> texts[] = {{"target", &target},
                                                                         {"fsroot", &fsroot},
                                                                         {"uuid", &row.uuid},
                                                                         {"label", &row.label},
                                                                         {"fstype", &row.fstype}};
    reader.read_record(
        record, path, "a filesystem record", {},
        [&](const std::string& name, const base::Json& value, const std::string& member_path) {
            if (name == "children") {
                children = &value;
                children_path = member_path;
                return true;
            }
            for (const auto& [key, text] : texts) {
                if (name == key) {
                    *text = optional_text(reader, value, member_path);
                    return true;
                }
            }
            return false;
        });
    if (target && fsroot) {
        row.target = std::move(*target);
        row.fsroot = std::move(*fsroot);
        table.push_back(std::move(row));
    }
    if (children != nullptr && !children->is_null()) {
        reader.sequence(*children, children_path,
                        [&](const base::Json& child, const std::string& child_path) {
                            flatten(reader, child, child_path, table);
                            return 0;
                        });
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
    base::JsonReader reader(text);
    MountTable table;
    reader.read_record(
        reader.document(), "", "findmnt output", {"filesystems"},
        [&](const std::string& name, const base::Json& value, const std::string& path) {
            if (name != "filesystems") {
                return false;
            }
            reader.sequence(value, path,
                            [&](const base::Json& record, const std::string& record_path) {
                                flatten(reader, record, record_path, table);
                                return 0;
                            });
            return true;
        });
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
