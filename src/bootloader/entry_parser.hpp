#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snapwright::bootloader {

// One parsed systemd-boot Type #1 entry file. Optional fields distinguish an absent key from a
// present but empty one.
struct BootEntry {
    std::string file_name;  // including ".conf"
    std::string title;      // the file name without trailing ".conf" when no title line exists
    std::string linux;      // empty when the entry has no linux image
    std::vector<std::string> initrd;
    // Every options line in file order, joined by one space: systemd-boot combines them too.
    std::string options;
    std::string text;  // the whole file, unchanged
    std::optional<std::string> version;
    std::optional<std::string> machine_id;
    std::optional<std::string> sort_key;
    std::optional<std::string> architecture;
    std::optional<std::string> devicetree;
    // The efi and uki values as written (the last of each): an EFI program, or a unified kernel
    // image when the file has a .linux section. Not checked here; a reader checks before use.
    std::optional<std::string> efi;
    std::optional<std::string> uki;

    bool operator==(const BootEntry&) const = default;
};

// Parses an entry text. Throws "invalid systemd-boot entry filename", the unsupported-field
// messages and the unsafe-asset-path message; never returns a partly filled entry.
[[nodiscard]] BootEntry parse_entry(std::string_view file_name, std::string_view text);

// A linux, initrd or devicetree value must be absolute and free of ".." components; throws
// "unsafe systemd-boot asset path: <value>".
void check_asset_path(std::string_view value);

// Whether snapwright wrote the entry: its name has the generated prefix or its text carries the
// marker line. Only entries that are not owned may serve as sources or be left to others.
[[nodiscard]] bool is_owned_entry(const BootEntry& entry);

// Whether one line of `text`, trimmed, is exactly the ownership marker.
[[nodiscard]] bool has_ownership_marker(std::string_view text);

// The value of the last machine-id line under the line rules of parse_entry, without judging
// anything else in the text, so that entries of other installations (which may use keys this
// program refuses) can be told apart without being parsed.
[[nodiscard]] std::optional<std::string> entry_machine_id(std::string_view text);

}  // namespace snapwright::bootloader
