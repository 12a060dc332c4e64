#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snapwright::bootloader {

// One Type #1 entry as systemd-boot's menu sees it: only what decides its place in the menu
// and whether a `default` pattern names it.
struct MenuEntry {
    std::string file_name;
    // The file name without its boot counter ("+3-1"), in ASCII lower case: what `default`,
    // LoaderEntryDefault and LoaderEntryOneShot are matched against.
    std::string id;
    std::optional<std::string> sort_key;
    std::optional<std::string> machine_id;
    std::optional<std::string> version;
    // From the boot counter in the file name; none without one.
    std::optional<std::uint64_t> tries_left;
    std::optional<std::uint64_t> tries_done;

    bool operator==(const MenuEntry&) const = default;
};

// Reads an entry file the way systemd-boot's own reader does, which accepts keys this program
// refuses: "key value" lines split at the first blank or tab, keys compared exactly, a value in
// double quotes unquoted, the last line of a key winning. Nothing when the entry would not be in
// the menu at all: it names no linux, efi, uki or uki-url image.
[[nodiscard]] std::optional<MenuEntry> read_menu_entry(std::string_view file_name,
                                                       std::string_view text);

// The value of the last `default` line of a loader.conf text, as read by read_menu_entry's line
// rules; none without one.
[[nodiscard]] std::optional<std::string> loader_default(std::string_view loader_conf);

// systemd-boot's version comparison: negative, zero or positive as `a` is older than, as new as
// or newer than `b`. Segments of digits compare numerically and are newer than letters; "~"
// marks the oldest, then "-", "^" and "." separators in that order; other characters only
// separate; an empty string is older than any other.
[[nodiscard]] int compare_versions(std::string_view a, std::string_view b);

// systemd-boot's glob: "*" any run of characters, "?" any one, "[...]" one of a set with
// ranges (no negation), "\" quotes the next character; everything else matches itself.
[[nodiscard]] bool glob_matches(std::string_view pattern, std::string_view text);

// Sorts entries into systemd-boot's menu order: entries with no tries left last; entries with a
// sort key before those without; between two with a sort key, by sort key, then machine ID,
// then newest version first; then newest ID first (as versions); then more tries left, fewer
// tries done.
void sort_menu(std::vector<MenuEntry>& entries);

// What picks the default entry besides the menu order, each as read (not yet case-folded).
struct DefaultSettings {
    // `default` of loader.conf.
    std::optional<std::string> configured = std::nullopt;
    // The LoaderEntryDefault EFI variable (bootctl set-default).
    std::optional<std::string> efi_default = std::nullopt;
    // LoaderEntryOneShot (bootctl set-oneshot): the next boot only.
    std::optional<std::string> one_shot = std::nullopt;
    // LoaderEntryLastBooted: the entry picked last, which "@saved" names.
    std::optional<std::string> saved = std::nullopt;
};

// What made systemd-boot choose its default entry.
enum class DefaultSource {
    OneShot,     // LoaderEntryOneShot, for the next boot only
    EfiDefault,  // LoaderEntryDefault
    Saved,       // "@saved" and the LoaderEntryLastBooted variable
    Configured,  // the `default` pattern of loader.conf
    FirstEntry,  // nothing else matched an entry
};

struct DefaultChoice {
    // Into the menu as given.
    std::size_t index = 0;
    DefaultSource source = DefaultSource::FirstEntry;

    bool operator==(const DefaultChoice&) const = default;
};

// The entry of `menu` (sorted by sort_menu) that systemd-boot boots by default: the one shot;
// else the EFI default ("@saved" there means the saved entry); else loader.conf's default
// ("@saved" likewise, unless the EFI default already tried it); else the first entry. At each
// step a pattern names the first entry of the menu that it matches, compared in ASCII lower
// case, and one that matches none passes to the next step. `other_ids` are the IDs of the
// loader's entries that `menu` does not hold (its own "auto-*" entries, unified kernel images):
// a pattern that matches one of them but no entry of `menu` chooses an entry outside it, and
// nothing is answered then, as for an empty menu.
[[nodiscard]] std::optional<DefaultChoice> choose_default_entry(
    const std::vector<MenuEntry>& menu, const DefaultSettings& settings,
    const std::vector<std::string>& other_ids = {});

// The IDs of the entries systemd-boot makes itself (Windows, macOS, the EFI shell, reboot and
// power-off, the firmware setup), which a `default` may name.
[[nodiscard]] const std::vector<std::string>& loader_own_entry_ids();

}  // namespace snapwright::bootloader
