#include "provider/provider_factory.hpp"

#include <utility>

#include "provider/btrfs/btrfs_provider.hpp"
#include "provider/snapper/snapper_provider.hpp"
#include "system/subvolume.hpp"
#include "system/top_level_mount.hpp"

namespace snapwright::provider {
namespace {

// The Btrfs provider together with the mount it reads through; the provider goes first.
class MountedBtrfsProvider final : public Provider {
  public:
    MountedBtrfsProvider(system::TopLevelMount mount, const std::string& filesystem_uuid,
                         const std::string& root_subvolume_uuid)
        : mount_(std::move(mount)), provider_(filesystem_uuid, mount_.mount_point()) {
        provider_.set_root_subvolume_uuid(root_subvolume_uuid);
    }

    ProviderScope scope() const override { return provider_.scope(); }
    void start_listing() override { provider_.start_listing(); }
    std::vector<SnapshotDescriptor> list_snapshots() override { return provider_.list_snapshots(); }
    bool unlisted_snapshot_exists(const SnapshotDescriptor& recorded) const override {
        return provider_.unlisted_snapshot_exists(recorded);
    }

  private:
    system::TopLevelMount mount_;
    btrfs::BtrfsProvider provider_;
};

}  // namespace

std::unique_ptr<Provider> open_provider(const config::Config& config,
                                        const std::string& filesystem_uuid,
                                        const std::string& machine_id,
                                        const system::MountTable& mounts) {
    const std::string root = system::root_mount_point(mounts);
    switch (config.provider) {
        case config::ProviderKind::Snapper:
            return std::make_unique<snapper::SnapperProvider>(
                filesystem_uuid, config.snapper_config, config.snapshots_path);
        case config::ProviderKind::Btrfs:
            break;
    }
    system::TopLevelMount mount = system::mount_top_level(filesystem_uuid, machine_id);
    return std::make_unique<MountedBtrfsProvider>(std::move(mount), filesystem_uuid,
                                                  system::read_subvolume_uuid(root));
}

}  // namespace snapwright::provider
