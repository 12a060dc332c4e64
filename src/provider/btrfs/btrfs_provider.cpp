#include "provider/btrfs/btrfs_provider.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/app_error.hpp"
#include "base/file_io.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "provider/btrfs/metadata_lookup.hpp"
#include "provider/btrfs/snapshot_naming.hpp"
#include "provider/btrfs/subvolume_row.hpp"
#include "system/process.hpp"
#include "system/subvolume_facts.hpp"

namespace snapwright::provider::btrfs {
namespace {

// The directory at `path` opened when it holds a boot directory (links followed, as the system
// booted from it would); an empty descriptor otherwise. Opened once, so that the path is
// resolved once for this look and the subvolume's facts.
base::UniqueFd open_with_boot_directory(const fs::path& path) {
    base::UniqueFd fd = base::open_directory(path);
    struct stat boot {};
    if (!fd || ::fstatat(fd.get(), "boot", &boot, 0) != 0 || !S_ISDIR(boot.st_mode)) {
        return {};
    }
    return fd;
}

}  // namespace

bool recorded_snapshot_exists(const fs::path& top_level_mount,
                              const SnapshotProperties& properties) {
    const auto path = properties.find("path");
    const auto uuid = properties.find("uuid");
    if (path == properties.end() || path->second.empty() || uuid == properties.end() ||
        uuid->second.empty() || uuid->second == "-") {
        return false;
    }
    const auto components = base::path_components(path->second);
    if (std::find(components.begin(), components.end(), "..") != components.end()) {
        return false;
    }
    const fs::path directory = base::join_under(top_level_mount, path->second);
    if (base::kind_or_absent(directory) != base::FileKind::Directory) {
        return false;
    }
    const std::optional<system::SubvolumeFacts> facts = system::read_subvolume_facts(directory);
    return facts && facts->uuid == base::to_lower_ascii(uuid->second);
}

BtrfsProvider::BtrfsProvider(const std::string& filesystem_uuid, fs::path top_level_mount,
                             std::uint64_t limit)
    : filesystem_uuid_(base::to_lower_ascii(filesystem_uuid)),
      top_level_mount_(std::move(top_level_mount)),
      limit_(limit) {}

void BtrfsProvider::set_root_subvolume_uuid(const std::string& uuid) {
    root_subvolume_uuid_ = base::to_lower_ascii(uuid);
}

ProviderScope BtrfsProvider::scope() const {
    return {filesystem_uuid_, "btrfs", "root"};
}

bool BtrfsProvider::unlisted_snapshot_exists(const SnapshotDescriptor& recorded) const {
    const ProviderScope own = scope();
    const SnapshotKey& key = recorded.key;
    return key.provider == own.provider && key.filesystem_uuid == own.filesystem_uuid &&
           key.instance == own.instance &&
           recorded_snapshot_exists(top_level_mount_, recorded.properties);
}

std::vector<std::string> BtrfsProvider::listing_arguments() const {
    return {"subvolume",
            "list",
            "-s",
            "-u",
            "-q",
            "-R",
            "--sort=-rootid",
            base::display_path(top_level_mount_)};
}

void BtrfsProvider::start_listing() {
    try {
        started_ = std::make_unique<system::StartedCommand>(program_, listing_arguments(),
                                                            "execute " + program_);
    } catch (const base::AppError&) {
        // list_snapshots runs it again and reports what went wrong.
    }
}

std::string BtrfsProvider::run_listing() {
    system::CommandOutput output;
    if (started_) {
        output = started_->finish();
        started_.reset();
    } else {
        output = system::run_captured(program_, listing_arguments(), "execute " + program_);
    }
    return system::checked_output(std::move(output), "btrfs subvolume list failed: ");
}

std::vector<SnapshotDescriptor> BtrfsProvider::list_snapshots() {
    std::string listing = run_listing();
    std::vector<SnapshotDescriptor> descriptors;
    if (limit_ == 0) {
        return descriptors;
    }
    // The listing and the metadata lookup's directory listings are dropped before the sort, and
    // the descriptors are given their room at once: with thousands of snapshots these are what
    // the run holds most of.
    std::optional<MetadataLookup> metadata_lookup(std::in_place);
    // Rows are dropped one by one to resist snapshot names with line breaks; a listing of which
    // not one row holds up is not read as "no snapshots", which would remove every entry.
    std::optional<std::string> first_dropped;
    const auto drop = [&](std::string_view line) {
        if (!first_dropped) {
            first_dropped = std::string(line);
        }
    };
    std::vector<std::string_view> lines = base::split_lines(listing);
    descriptors.reserve(std::min<std::uint64_t>(lines.size(), limit_));
    for (std::string_view line : lines) {
        if (base::trim(line).empty()) {
            continue;
        }
        if (descriptors.size() >= limit_) {
            break;
        }
        const ParsedRow parsed = parse_subvolume_row(line, root_subvolume_uuid_);
        if (parsed.verdict == RowVerdict::Malformed) {
            drop(line);
        }
        if (parsed.verdict != RowVerdict::Accepted) {
            continue;
        }
        const SubvolumeRow& row = parsed.row;
        const fs::path directory = base::join_under(top_level_mount_, row.path);
        const base::UniqueFd opened = open_with_boot_directory(directory);
        if (!opened) {
            continue;
        }
        // Confirming here rather than after the loop keeps rows that turn out not to be
        // snapshots from counting toward the limit.
        const std::optional<system::SubvolumeFacts> facts =
            system::read_subvolume_facts_at(opened.get());
        if (!facts || !facts_confirm_row(*facts, row)) {
            drop(line);
            continue;
        }
        const std::string name = snapshot_name(row.path);
        const SnapshotMetadata metadata = metadata_lookup->find(directory, name);

        SnapshotDescriptor descriptor;
        descriptor.key = {filesystem_uuid_, "btrfs", "root",
                          snapshot_id(row.identity, row.root_id)};
        // The subvolume's own creation time, which every confirmed row has, wins over the
        // listing's otime and the metadata file's date.
        descriptor.created_utc = facts->creation_time;
        descriptor.description = metadata.description;
        descriptor.subvolume = "/" + row.path;
        descriptor.properties = {
            {"rootid", row.root_id},
            {"uuid", row.identity},
            {"path", row.path},
            {"snapshot", name},
            {"source", metadata.source},
            {"type", metadata.type},
            {"readonly", facts->read_only ? "true" : "false"},
        };
        descriptors.push_back(std::move(descriptor));
    }
    if (descriptors.empty() && first_dropped) {
        base::throw_error("invalid btrfs subvolume row: " + *first_dropped);
    }
    metadata_lookup.reset();
    std::vector<std::string_view>().swap(lines);
    std::string().swap(listing);
    sort_descriptors(descriptors);
    return descriptors;
}

}  // namespace snapwright::provider::btrfs
