#pragma once

#include <filesystem>

#include "config/config.hpp"
#include "generation/run_context.hpp"

namespace snapwright::app {

// Builds the context of one run from the configuration file at `config_path`: configuration,
// mount table, the Btrfs root check ("the root filesystem is not Btrfs"), boot root and entry
// directory, machine ID, operating-system name ("/etc/os-release" is read only when
// TARGET_OS_NAME is not configured), the entry location check, the root filesystem UUID and the
// store paths with their separation check, in that order; the first failing step's error is
// thrown unchanged. Reads only: nothing is created or changed on disk.
[[nodiscard]] generation::RunContext build_run_context(const std::filesystem::path& config_path);

// The same from a configuration already loaded, for a process that loaded it before deciding
// how to run (the dispatcher loads it once, before elevation).
[[nodiscard]] generation::RunContext build_run_context(config::Config config);

// Refuses stores that overlap: the archive root and the boot data root may be neither the same
// directory nor inside one another, compared as written and with symbolic links resolved ("the
// archive {} and the boot data directory {} overlap; ..."). Each store's upkeep would otherwise
// take the other's files for its own.
void check_store_separation(const std::filesystem::path& archive_root,
                            const std::filesystem::path& boot_data_root);

}  // namespace snapwright::app
