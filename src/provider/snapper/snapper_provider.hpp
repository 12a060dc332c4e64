#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "provider/provider.hpp"

namespace snapwright::provider::snapper {

namespace fs = std::filesystem;

// Lists the snapshots of one Snapper configuration by asking Snapper, without D-Bus. With a
// snapshots path the subvolume of snapshot N is "<snapshots_path>/N/snapshot" as configured;
// without one it is read from the filesystem, where Snapper keeps snapshot N at
// "<subvolume of the configuration>/.snapshots/N/snapshot" whatever the layout above it.
class SnapperProvider final : public Provider {
  public:
    // `filesystem_uuid` is lower-cased; `config` names the Snapper configuration;
    // `snapshots_path`, when given, is the directory below which the subvolumes are named on the
    // kernel command line.
    SnapperProvider(const std::string& filesystem_uuid, std::string config,
                    std::optional<fs::path> snapshots_path);

    // (filesystem UUID, "snapper", configuration name).
    ProviderScope scope() const override;
    // Runs `snapper --no-dbus --config <config> --no-headers --utc --machine-readable csv list
    // --columns number,date,type,description` and describes every snapshot it lists except
    // number 0, sorted. Throws "execute snapper" with the OS error when Snapper cannot be
    // started, "snapper list failed: " with its standard error when it fails, and the messages
    // of split_snapper_csv, snapshot_base and describe_snapper_row; nothing partial is returned.
    // Without a snapshots path, and when there is a snapshot, Snapper is also asked for the
    // configuration's subvolume (`get-config`; "snapper get-config failed: " with its standard
    // error, and the messages of config_subvolume), and the subvolumes are located as
    // locate_snapshot_subvolumes does, with its message when none can be read.
    std::vector<SnapshotDescriptor> list_snapshots() override;
    // Snapper lists every snapshot of its configuration: false.
    bool unlisted_snapshot_exists(const SnapshotDescriptor& recorded) const override;

  private:
    std::string filesystem_uuid_;
    std::string config_;
    std::optional<fs::path> snapshots_path_;
    std::string program_ = "snapper";
};

}  // namespace snapwright::provider::snapper
