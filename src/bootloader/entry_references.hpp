#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bootloader/render.hpp"
#include "store/object_id.hpp"

namespace snapwright::bootloader {

namespace fs = std::filesystem;

// The objects named by the linux, initrd and devicetree lines of owned entries. Every entry
// must parse, be owned and name a linux image, and every asset path must be a boot store path
// under `boot_data_relative`; otherwise the first failure is thrown ("systemd-boot entry <file
// name> is not owned by snapwright", "owned systemd-boot entry <file name> has no linux image",
// or the parser's and object_id_from_boot_path's errors).
[[nodiscard]] std::set<store::ObjectId> collect_entry_references(
    const std::map<std::string, std::string>& entries, const fs::path& boot_data_relative);
[[nodiscard]] std::set<store::ObjectId> collect_entry_references(
    const std::vector<GeneratedEntry>& entries, const fs::path& boot_data_relative);

}  // namespace snapwright::bootloader
