#pragma once

#include <filesystem>

#include "bootloader/run_context.hpp"

namespace snapwright::app {

// Builds the context of one run from the configuration file at `config_path`: configuration,
// mount table, the Btrfs root check ("the root filesystem is not Btrfs"), boot root and entry
// directory, machine ID, operating-system name ("/etc/os-release" is read only when
// TARGET_OS_NAME is not configured), the entry location check, the root filesystem UUID and the
// store paths, in that order; the first failing step's error is thrown unchanged. Reads only:
// nothing is created or changed on disk.
[[nodiscard]] bootloader::RunContext build_run_context(const std::filesystem::path& config_path);

}  // namespace snapwright::app
