#pragma once

#include <filesystem>
#include <string_view>

namespace snapwright::system {

// Whether the firmware verifies what it starts.
enum class SecureBoot {
    // No EFI variables (a legacy boot, or efivarfs is not mounted), or no SecureBoot variable.
    NotReported,
    Disabled,
    Enabled,
};

// Reads the SecureBoot EFI variable (4 attribute bytes, then 1 for enabled) from the efivarfs
// directory `efivars`. Anything unreadable or malformed is NotReported; this only informs and
// never fails.
[[nodiscard]] SecureBoot read_secure_boot(const std::filesystem::path& efivars);

// "enabled", "disabled" or "not reported by the firmware".
[[nodiscard]] std::string_view secure_boot_text(SecureBoot state);

}  // namespace snapwright::system
