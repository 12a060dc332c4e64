#include "provider/btrfs/metadata_lookup.hpp"

#include <algorithm>

#include "base/app_error.hpp"
#include "base/directory.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"

namespace snapwright::provider::btrfs {
namespace {

constexpr std::string_view kMetaSuffix = "-meta.json";
// Enough for a snapshot's parent and grandparent while snapshots of several configurations,
// each in directories of its own, take turns in the listing.
constexpr std::size_t kListingsKept = 16;

}  // namespace

std::optional<std::string> read_metadata_file(const fs::path& path) {
    auto text = base::read_regular_file_if_present(path, kMetadataFileLimit);
    if (!text || !base::is_valid_utf8(*text)) {
        return std::nullopt;
    }
    return text;
}

SnapshotMetadata MetadataLookup::find(const fs::path& snapshot_directory,
                                      std::string_view snapshot_name) {
    const fs::path parent = snapshot_directory.has_relative_path()
                                ? snapshot_directory.parent_path()
                                : snapshot_directory;
    const Listing& here = listing(parent);
    if (here.snapper_info) {
        if (const auto xml = read_metadata_file(parent / "info.xml")) {
            return parse_snapper_info(*xml);
        }
    }
    if (here.timeshift_info) {
        if (const auto json = read_metadata_file(parent / "info.json")) {
            if (auto metadata = parse_timeshift_info(*json)) {
                return *metadata;
            }
        }
    }
    if (auto metadata = yabsnap_in(parent, here, snapshot_name)) {
        return *metadata;
    }
    const fs::path grandparent = parent.has_relative_path() ? parent.parent_path() : parent;
    if (auto metadata = yabsnap_in(grandparent, listing(grandparent), snapshot_name)) {
        return *metadata;
    }
    return SnapshotMetadata{};
}

std::optional<SnapshotMetadata> MetadataLookup::yabsnap_in(const fs::path& directory,
                                                           const Listing& listing,
                                                           std::string_view snapshot_name) {
    const std::vector<std::string>& names = listing.meta_files;
    auto read = [&](const std::string& name) -> std::optional<SnapshotMetadata> {
        if (const auto json = read_metadata_file(directory / name)) {
            return parse_yabsnap_meta(*json);
        }
        return std::nullopt;
    };
    // One directory usually holds the files of all snapshots made by the same configuration;
    // the one named after this snapshot is its own.
    const std::string own = std::string(snapshot_name) + std::string(kMetaSuffix);
    if (std::find(names.begin(), names.end(), own) != names.end()) {
        if (auto metadata = read(own)) {
            return metadata;
        }
    }
    for (const std::string& name : names) {
        if (auto metadata = read(name)) {
            return metadata;
        }
    }
    return std::nullopt;
}

const MetadataLookup::Listing& MetadataLookup::listing(const fs::path& directory) {
    for (auto it = recent_.begin(); it != recent_.end(); ++it) {
        if (it->first == directory.native()) {
            recent_.splice(recent_.begin(), recent_, it);
            return recent_.front().second;
        }
    }
    recent_.emplace_front(directory.native(), Listing{});
    if (recent_.size() > kListingsKept) {
        recent_.pop_back();
    }
    Listing& listing = recent_.front().second;
    std::vector<std::string> listed;
    try {
        listed = base::list_directory(directory);
    } catch (const base::AppError&) {
        // Metadata is optional: a directory that cannot be read has none.
        return listing;
    }
    for (std::string& name : listed) {
        if (name == "info.xml") {
            listing.snapper_info = true;
        } else if (name == "info.json") {
            listing.timeshift_info = true;
        } else if (name.ends_with(kMetaSuffix) && base::is_valid_utf8(name)) {
            listing.meta_files.push_back(std::move(name));
        }
    }
    return listing;
}

}  // namespace snapwright::provider::btrfs
