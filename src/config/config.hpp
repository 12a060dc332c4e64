#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snapwright::config {

// Where the snapshots are listed from (PROVIDER).
enum class ProviderKind {
    Btrfs,
    Snapper,
};

// The parsed configuration file; every field has a default. Paths are kept as written
// (after trimming and unquoting), not normalised.
struct Config {
    ProviderKind provider = ProviderKind::Btrfs;
    std::optional<std::filesystem::path> boot_path;
    std::optional<std::filesystem::path> entries_directory;
    std::filesystem::path data_directory = "snapwright";
    std::filesystem::path archive_path = "/var/lib/snapwright";
    std::optional<std::string> target_os_name;
    std::filesystem::path machine_id_file = "/etc/machine-id";
    std::string snapper_config = "root";
    // Unset: the Snapper provider reads each snapshot's subvolume from the filesystem.
    std::optional<std::filesystem::path> snapshots_path;
    std::vector<std::filesystem::path> watch_paths{"/.snapshots"};
    std::uint64_t snapshot_limit = 50;
    std::uint64_t snapshot_kernel_limit = 3;
    std::uint64_t snapshot_asset_limit_bytes = 536870912;
    std::string snapshot_kernel_parameters;
    std::uint64_t debounce_milliseconds = 1000;
    std::optional<std::string> auth_method;

    bool operator==(const Config&) const = default;
};

// The configuration of a system without a configuration file.
[[nodiscard]] Config default_config();

// Parses the text of a configuration file: KEY=VALUE lines, blank lines and "#" comment lines.
// Every line is checked for syntax before any value is interpreted; then the known keys are
// interpreted in a fixed order and the first invalid one fails. Unknown keys are ignored; a key
// given twice takes its last value. Throws AppError with the message of the first fault; never
// returns a partly applied configuration. No I/O.
[[nodiscard]] Config parse_config(std::string_view text);

}  // namespace snapwright::config
