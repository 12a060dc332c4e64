#pragma once

#include <memory>
#include <string>

#include "config/config.hpp"
#include "provider/provider.hpp"
#include "system/mount_table.hpp"

namespace snapwright::provider {

// The provider that PROVIDER names, ready for one run on the filesystem `filesystem_uuid`
// whose mounts are `mounts`. For Btrfs the filesystem's top level is mounted read-only for the
// run (system::mount_top_level, named by `machine_id`) and stays mounted until the returned
// provider is destroyed, and the listing is restricted to snapshots of the subvolume mounted at
// "/"; Snapper needs no mount: it is asked for its snapshots, which are reachable through the
// root mount point. Callers that hold the boot lock destroy the provider first. Throws what
// mounting and reading the root subvolume throw; nothing stays mounted then.
[[nodiscard]] std::unique_ptr<Provider> open_provider(const config::Config& config,
                                                      const std::string& filesystem_uuid,
                                                      const std::string& machine_id,
                                                      const system::MountTable& mounts);

}  // namespace snapwright::provider
