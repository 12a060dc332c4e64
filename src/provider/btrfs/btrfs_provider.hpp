#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "provider/provider.hpp"
#include "system/process.hpp"

namespace snapwright::provider::btrfs {

namespace fs = std::filesystem;

inline constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// Lists the snapshots of the running root subvolume straight from the filesystem: every
// snapshot below the top level that has a "boot" directory, described from the metadata file
// its tool left beside it and from the subvolume's own facts (creation time, read-only flag).
class BtrfsProvider final : public Provider {
  public:
    // `filesystem_uuid` is lower-cased; `top_level_mount` is where subvolume ID 5 is mounted for
    // this run; at most `limit` snapshots are listed.
    BtrfsProvider(const std::string& filesystem_uuid, fs::path top_level_mount,
                  std::uint64_t limit = kNoLimit);

    // Restricts the listing to snapshots of this subvolume (lower-cased). Without it every
    // snapshot of the filesystem counts.
    void set_root_subvolume_uuid(const std::string& uuid);

    // (filesystem UUID, "btrfs", "root").
    ProviderScope scope() const override;
    // Starts `btrfs subvolume list`, which with thousands of subvolumes takes a while; the
    // next list_snapshots takes its output.
    void start_listing() override;
    // Runs `btrfs subvolume list` on the top level. A snapshot is listed only when the subvolume
    // at its path confirms the row (same UUID and parent UUID): a path in the listing
    // is printed unescaped, so a line may come from a snapshot name rather than from the tool.
    // Lines that are not whole rows, paths the kernel command line cannot carry, snapshots of
    // other subvolumes and snapshots without "boot" are passed over silently. But when lines
    // were dropped as not whole rows or not confirmed and no snapshot is left, the listing
    // fails with "invalid btrfs subvolume row: " and the first such line.
    // Throws "execute btrfs" with the OS error when btrfs cannot be started and
    // "btrfs subvolume list failed: " with its standard error when it fails.
    std::vector<SnapshotDescriptor> list_snapshots() override;
    // The listing covers only snapshots of the subvolume mounted at "/": after a rollback, or
    // while booted into a snapshot, the snapshots of the old root drop out of it although they
    // still exist. A snapshot of this scope is still there when recorded_snapshot_exists says
    // so below the top-level mount; one of another scope never is.
    bool unlisted_snapshot_exists(const SnapshotDescriptor& recorded) const override;

    const std::string& filesystem_uuid() const { return filesystem_uuid_; }
    const std::optional<std::string>& root_subvolume_uuid() const { return root_subvolume_uuid_; }

  private:
    std::vector<std::string> listing_arguments() const;
    // The output of `btrfs subvolume list`, the started one when there is one; throws as
    // list_snapshots says.
    std::string run_listing();

    std::string filesystem_uuid_;
    fs::path top_level_mount_;
    std::string program_ = "btrfs";
    std::optional<std::string> root_subvolume_uuid_;
    std::uint64_t limit_;
    std::unique_ptr<system::StartedCommand> started_;
};

// Whether the snapshot recorded with these descriptor properties still exists although the
// listing no longer reports it (after a rollback the snapshots of the old root are no longer
// children of "/"): its "path" below `top_level_mount` must name a subvolume whose UUID, as
// read from the subvolume, equals the recorded "uuid" (compared in lower case). A missing
// property, a path that climbs out with "..", a plain directory, another subvolume at the same
// path, or a subvolume whose facts cannot be read all mean it is gone.
bool recorded_snapshot_exists(const fs::path& top_level_mount,
                              const SnapshotProperties& properties);

}  // namespace snapwright::provider::btrfs
