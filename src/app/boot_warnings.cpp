#include "app/boot_warnings.hpp"

#include <cstdio>
#include <system_error>
#include <vector>

#include "base/paths.hpp"
#include "base/system_paths.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "bootloader/entry_parser.hpp"
#include "bootloader/render.hpp"
#include "system/efi_variables.hpp"

namespace snapwright::app {
namespace {

namespace fs = std::filesystem;

constexpr const char* kWarning = "snapwright: warning: ";
// An entry file larger than this is no entry systemd-boot would show.
constexpr std::size_t kMaxEntryBytes = 1024 * 1024;

std::string shown(std::string_view value) {
    return "\"" + bootloader::single_line(value) + "\"";
}

// The value as a double-quoted configuration value that reads back as itself.
std::string config_value(std::string_view value) {
    std::string text = "\"";
    for (const char c : value) {
        if (c == '"' || c == '$' || c == '\\' || c == '`') {
            text += '\\';
        }
        text += c;
    }
    return text + "\"";
}

// Whether a configuration value can hold `name` unchanged: values are single lines and trimmed.
bool settable(std::string_view name) {
    return !name.empty() && name.find_first_of("\r\n") == std::string_view::npos &&
           base::trim(name) == name;
}

bool ends_with(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() &&
           base::equals_ignore_ascii_case(name.substr(name.size() - suffix.size()), suffix);
}

bool ends_with_conf(std::string_view name) {
    return ends_with(name, ".conf");
}

// The IDs of the entries the loader lists besides the Type #1 entries: its own, and the
// unified kernel images in EFI/Linux below the boot root.
std::vector<std::string> other_entry_ids(const fs::path& boot_root) {
    std::vector<std::string> ids = bootloader::loader_own_entry_ids();
    std::error_code error;
    for (fs::directory_iterator it(boot_root / "EFI/Linux", error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with('.') && (ends_with(name, ".efi") || ends_with(name, ".uki"))) {
            ids.push_back(name);
        }
    }
    return ids;
}

struct Menu {
    std::vector<bootloader::MenuEntry> entries;
    // File name to text, for the ownership test of the chosen entry.
    std::map<std::string, std::string> texts;
};

// The entries systemd-boot lists from the directory: files ending in ".conf" in any case, not
// hidden; unreadable ones are left out as the loader would leave them out.
Menu read_menu(const fs::path& entry_directory) {
    Menu menu;
    std::error_code error;
    for (fs::directory_iterator it(entry_directory, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with('.') || !ends_with_conf(name)) {
            continue;
        }
        std::optional<std::string> text =
            base::read_regular_file_if_present(it->path(), kMaxEntryBytes);
        if (!text) {
            continue;
        }
        if (std::optional<bootloader::MenuEntry> entry = bootloader::read_menu_entry(name, *text)) {
            menu.entries.push_back(std::move(*entry));
            menu.texts.emplace(name, std::move(*text));
        }
    }
    bootloader::sort_menu(menu.entries);
    return menu;
}

}  // namespace

std::optional<std::string> default_entry_warning(const bootloader::MenuEntry& chosen,
                                                 std::string_view text,
                                                 bootloader::DefaultSource source,
                                                 const fs::path& loader_conf) {
    if (!chosen.file_name.starts_with(base::kEntryPrefix) &&
        !bootloader::has_ownership_marker(text)) {
        return std::nullopt;
    }
    const std::string entry = bootloader::single_line(chosen.file_name);
    const std::string conf = base::display_path(loader_conf);
    const std::string head =
        kWarning + std::string("systemd-boot will boot snapshot entry ") + entry;
    switch (source) {
        case bootloader::DefaultSource::OneShot:
            return head +
                   " at the next boot, as the EFI variable LoaderEntryOneShot names it for that "
                   "boot only";
        case bootloader::DefaultSource::EfiDefault:
            return head +
                   " by default, as the EFI variable LoaderEntryDefault names it; choose your "
                   "system's entry with bootctl set-default";
        case bootloader::DefaultSource::Saved:
            return head +
                   " by default, as it was booted last and the default is @saved; boot your "
                   "system from the menu once, or set 'default' in " +
                   conf + " to match your system's entries";
        case bootloader::DefaultSource::Configured:
            return head + " by default, as 'default' in " + conf +
                   " matches it; make it match only your system's entries";
        case bootloader::DefaultSource::FirstEntry:
            break;
    }
    return head + " by default, as the first entry of its menu; set 'default' in " + conf +
           " to match your system's entries";
}

std::optional<std::string> check_default_entry(const generation::RunContext& context) {
    const Menu menu = read_menu(context.entry_directory);
    const fs::path loader_conf = context.boot_root / base::kLoaderConfRelative;
    bootloader::DefaultSettings settings;
    if (const std::optional<std::string> conf =
            base::read_regular_file_if_present(loader_conf, kMaxEntryBytes)) {
        settings.configured = bootloader::loader_default(*conf);
    }
    std::error_code error;
    if (fs::is_directory(context.efi_variables_directory, error)) {
        const fs::path& efivars = context.efi_variables_directory;
        settings.efi_default = system::read_loader_variable(efivars, "LoaderEntryDefault");
        settings.one_shot = system::read_loader_variable(efivars, "LoaderEntryOneShot");
        settings.saved = system::read_loader_variable(efivars, "LoaderEntryLastBooted");
    }
    const std::optional<bootloader::DefaultChoice> choice = bootloader::choose_default_entry(
        menu.entries, settings, other_entry_ids(context.boot_root));
    if (!choice) {
        return std::nullopt;
    }
    const bootloader::MenuEntry& chosen = menu.entries[choice->index];
    return default_entry_warning(chosen, menu.texts.at(chosen.file_name), choice->source,
                                 loader_conf);
}

std::optional<std::string> other_os_warning(const std::map<std::string, std::uint64_t>& other_names,
                                            std::string_view os_name) {
    if (other_names.empty()) {
        return std::nullopt;
    }
    std::uint64_t total = 0;
    // The name that keeps the most; among equals the last, which is usually the later release.
    // Only a name that a configuration line can hold as it is can be suggested.
    auto best = other_names.end();
    for (auto it = other_names.begin(); it != other_names.end(); ++it) {
        total += it->second;
        if (settable(it->first) && (best == other_names.end() || it->second >= best->second)) {
            best = it;
        }
    }
    const std::string count =
        std::to_string(total) + (total == 1 ? " snapshot manifest" : " snapshot manifests");
    std::string line =
        kWarning + std::string("the archive holds ") + count + " of this machine recorded under ";
    if (other_names.size() == 1) {
        line += "the operating-system name " + shown(best->first);
    } else {
        line += "other operating-system names (";
        for (auto it = other_names.begin(); it != other_names.end(); ++it) {
            line += (it == other_names.begin() ? "" : ", ") + std::to_string(it->second) + " " +
                    shown(it->first);
        }
        line += ")";
    }
    line += " instead of " + shown(os_name) + ", and their snapshots are not deployed";
    if (best != other_names.end()) {
        line += "; TARGET_OS_NAME=" + config_value(best->first) + " in the configuration keeps ";
        line += other_names.size() == 1
                    ? std::string(total == 1 ? "it" : "them")
                    : "the " + std::to_string(best->second) + " under that name";
    }
    return line;
}

bool has_volatile_setting(std::string_view kernel_parameters) {
    for (const std::string_view word : base::split_ascii_whitespace(kernel_parameters)) {
        if (word == "systemd.volatile" || word.starts_with("systemd.volatile=")) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> volatile_advice(std::uint64_t read_only_snapshots,
                                           std::string_view kernel_parameters) {
    if (read_only_snapshots == 0 || has_volatile_setting(kernel_parameters)) {
        return std::nullopt;
    }
    const std::string count = read_only_snapshots == 1
                                  ? "1 deployed snapshot is"
                                  : std::to_string(read_only_snapshots) + " deployed snapshots are";
    return "snapwright: note: " + count +
           " read-only, and a read-only root without systemd.volatile= boots to 'degraded' at "
           "best; set SNAPSHOT_KERNEL_PARAMETERS=\"systemd.volatile=state\" for the snapshots "
           "archived from now on (README: Booting a snapshot, read-only snapshots)";
}

void print_warning(std::string_view line) {
    const std::string text = std::string(line) + "\n";
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace snapwright::app
