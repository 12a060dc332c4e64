#pragma once

#include <filesystem>
#include <string>

#include "base/system_paths.hpp"
#include "config/config.hpp"
#include "system/mount_table.hpp"

namespace snapwright::generation {

// The places and identity of one run, built once before any command body and unchanged
// during it. Paths are kept as built, without resolving symbolic links.
struct RunContext {
    config::Config config;
    std::filesystem::path boot_root;
    std::filesystem::path entry_directory;
    // boot_root / data_directory / machine_id: the data root of the boot object store.
    std::filesystem::path boot_data_root;
    // data_directory / machine_id: the same directory relative to boot_root, as entries name it.
    std::filesystem::path boot_data_relative;
    // archive_path / machine_id: the manifest root and the data root of the archive store.
    std::filesystem::path archive_root;
    std::string machine_id;
    std::string os_name;
    std::string root_filesystem_uuid;
    system::MountTable filesystems;
    // Where systemd-boot's EFI variables are read; absent on machines without EFI.
    std::filesystem::path efi_variables_directory = base::kEfiVariablesDirectory;
    // Where the top-level mount points of runs are made, and those of ended runs removed.
    std::filesystem::path runtime_directory = base::kRuntimeDirectory;

    bool operator==(const RunContext&) const = default;
};

}  // namespace snapwright::generation
