#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "store/object_id.hpp"

namespace snapwright::bootloader {

namespace fs = std::filesystem;

// The path a generated entry names for an object of the boot store:
// "/" + boot_data_relative + "/objects/sha256/XX/DIGEST", with only the named components of
// `boot_data_relative`. Throws "unsupported object hash algorithm: <algorithm>" or
// "invalid SHA-256 object digest" for an identity that is not a stored object's.
[[nodiscard]] std::string boot_asset_path(const fs::path& boot_data_relative,
                                          const store::ObjectId& id);

// The inverse: the object a generated entry's asset path names, comparing whole components.
// Throws "generated boot asset path is not absolute: <path>", "... is outside the snapwright
// object namespace: <path>" or "... has an invalid content digest: <path>".
[[nodiscard]] store::ObjectId object_id_from_boot_path(std::string_view path,
                                                       const fs::path& boot_data_relative);

}  // namespace snapwright::bootloader
