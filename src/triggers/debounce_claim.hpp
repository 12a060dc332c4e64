#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "base/system_paths.hpp"

namespace snapwright::triggers {

// One debounced run's entry in the claim file that all debounced runs of a machine share.
struct DebounceClaim {
    std::filesystem::path path;  // <run root>/snapwright/<name>.token
    std::string token;           // "<pid>-<nanoseconds since the epoch>"
};

// The token of process `pid` at `seconds` and `nanoseconds` (below one second) since the epoch:
// "{pid}-{seconds * 1000000000 + nanoseconds}" in decimal.
[[nodiscard]] std::string claim_token(long pid, std::uint64_t seconds, std::uint32_t nanoseconds);

// Writes a fresh token into the claim file of `name` (ASCII letters, digits, "-", "." and "_";
// otherwise "invalid debounce claim name"), replacing whatever another run wrote there, with
// mode 0600. The debounce directory "snapwright" under `run_root` is created when missing and
// must be a real directory ("inspect debounce directory {}", "debounce root is not a real
// directory: {}"). Fails with "system clock is before the Unix epoch" when it is.
[[nodiscard]] DebounceClaim place_debounce_claim(
    const std::string& name, const std::filesystem::path& run_root = base::kRunRoot);

// Sleeps `wait`, then answers whether the claim file still holds this claim's token. A claim
// file that is gone or is not a regular file means superseded. Fails with "I/O operation
// failed" when the file cannot be examined or read.
[[nodiscard]] bool claim_still_current(const DebounceClaim& claim, std::chrono::milliseconds wait);

}  // namespace snapwright::triggers
