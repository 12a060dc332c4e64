#pragma once

#include <filesystem>

#include "config/config.hpp"

namespace snapwright::config {

// Loads the configuration file at `path` (raw bytes). A path that does not exist yields
// default_config(); a symbolic link, directory or other non-regular file is refused with
// "configuration is not a regular file: {}"; a failure to examine it is "inspect {}" and a
// failure to read it (also invalid UTF-8) is "read {}", both with the OS or I/O error.
[[nodiscard]] Config load_config(const std::filesystem::path& path);

}  // namespace snapwright::config
