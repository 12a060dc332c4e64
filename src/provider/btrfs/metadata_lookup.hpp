#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
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

// Finds the metadata of the snapshots of one listing. Directory scans are kept for the life of
// the object, since one directory often holds the metadata files of every snapshot.
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
    // The listing of `directory`, read on first use; an unreadable directory shows nothing.
    const Listing& listing(const fs::path& directory);

    // By the directory's path as text: one listing is kept for every snapshot's parent, and a
    // path's parsed components would cost several times the text.
    std::map<std::string, Listing> listings_;
};

}  // namespace snapwright::provider::btrfs
