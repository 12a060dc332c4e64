#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace snapwright::system {

// The text of a string variable as efivarfs presents its file: four attribute bytes, then
// UTF-16LE up to the first NUL character or the end, turned into UTF-8 (unpaired surrogates
// become U+FFFD). Nothing when the attributes are incomplete.
[[nodiscard]] std::optional<std::string> decode_efi_string(std::string_view file_bytes);

// The systemd-boot loader variable `name` (LoaderEntryDefault, LoaderEntryOneShot,
// LoaderEntryLastBooted) from `efivars_directory`. Nothing when the directory or the variable
// does not exist or cannot be read: callers only give advice from it.
[[nodiscard]] std::optional<std::string> read_loader_variable(
    const std::filesystem::path& efivars_directory, std::string_view name);

}  // namespace snapwright::system
