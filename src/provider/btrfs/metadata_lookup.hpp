#pragma once

#include <filesystem>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "provider/btrfs/metadata.hpp"

namespace snapwright::provider::btrfs {

namespace fs = std::filesystem;

// Largest metadata file read; the files are a few hundred bytes.
inline constexpr std::size_t kMetadataFileLimit = 1 << 20;

// The text of a metadata file, or nothing when it cannot be read. The files sit in directories
// that ordinary users may write to, so a symbolic link, anything but a regular file (a FIFO
// must not block the run), a file over kMetadataFileLimit and text that is not UTF-8 all count
// as unreadable.
std::optional<std::string> read_metadata_file(const fs::path& path);

// Finds the metadata of the snapshots of one listing. The listings of the directories asked
// about last are kept for the life of the object: one directory often holds the metadata files
// of every snapshot, and consecutive snapshots share their parent or their parent's parent, so
// each is listed once however many snapshots ask. A directory asked about once (each Snapper
// snapshot's own) is not kept for the whole listing.
class MetadataLookup {
  public:
    // Looks in the snapshot directory's parent P: Snapper's info.xml, then Timeshift's
    // info.json, then a yabsnap "-meta.json" in P and then in P's parent, where the file named
    // after the snapshot ("<name>-meta.json") is preferred to the first in directory order.
    // Nothing found: source "manual". A file is looked for only where the directory's listing
    // shows it, so a snapshot without metadata costs no failing opens. Never fails.
    SnapshotMetadata find(const fs::path& snapshot_directory, std::string_view snapshot_name);

  private:
    // What a listing of one directory showed of the metadata files.
    struct Listing {
        bool snapper_info = false;
        bool timeshift_info = false;
        // The names that are UTF-8 and end in "-meta.json", in directory order.
        std::vector<std::string> meta_files;
    };

    std::optional<SnapshotMetadata> yabsnap_in(const fs::path& directory, const Listing& listing,
                                               std::string_view snapshot_name);
    // The listing of `directory`, read unless it is among the kept ones; an unreadable
    // directory shows nothing. Stays valid until the listing of another directory is read.
    const Listing& listing(const fs::path& directory);

    // The directory's path as text and its listing, the one asked about last first.
    std::list<std::pair<std::string, Listing>> recent_;
};

}  // namespace snapwright::provider::btrfs
