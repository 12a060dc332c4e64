#include "bootloader/selection.hpp"

#include <algorithm>
#include <optional>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"

namespace snapwright::bootloader {
namespace {

constexpr std::string_view kRootflags = "rootflags=";

// Absent sorts before present; present strings compare as bytes.
int compare_optional(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (a.has_value() != b.has_value()) {
        return a.has_value() ? 1 : -1;
    }
    if (!a) {
        return 0;
    }
    return a->compare(*b);
}

bool source_order(const BootEntry* a, const BootEntry* b) {
    if (const int c = compare_optional(a->sort_key, b->sort_key); c != 0)
        return c < 0;
    if (const int c = a->title.compare(b->title); c != 0)
        return c < 0;
    if (const int c = compare_optional(a->version, b->version); c != 0)
        return c < 0;
    return a->file_name < b->file_name;
}

bool is_source_candidate(const BootEntry& entry, std::string_view machine_id) {
    return !is_owned_entry(entry) && entry.machine_id &&
           base::equals_ignore_ascii_case(*entry.machine_id, machine_id) && !entry.linux.empty();
}

// Entries written without a machine-id line (by installers and by hand) are tied to this
// machine only through the root filesystem they mount; one that names no root, or another
// installation's root on a shared boot partition, is never taken.
bool is_root_candidate(const BootEntry& entry, const NamesRootFilesystem& names_root) {
    if (is_owned_entry(entry) || entry.machine_id || entry.linux.empty() || !names_root) {
        return false;
    }
    const std::optional<std::string> root = root_parameter(entry.options);
    return root && names_root(*root);
}

// Splits at ASCII white space outside double quotes, as the kernel does.
std::vector<std::string_view> split_kernel_parameters(std::string_view options) {
    std::vector<std::string_view> parameters;
    std::size_t i = 0;
    while (i < options.size()) {
        while (i < options.size() && base::is_ascii_space(options[i]))
            ++i;
        const std::size_t start = i;
        bool quoted = false;
        while (i < options.size() && (quoted || !base::is_ascii_space(options[i]))) {
            if (options[i] == '"')
                quoted = !quoted;
            ++i;
        }
        if (i > start)
            parameters.push_back(options.substr(start, i - start));
    }
    return parameters;
}

SourceProfile profile_of(const BootEntry& entry) {
    SourceProfile profile;
    profile.name = entry.version && !entry.version->empty()
                       ? entry.title + " (" + *entry.version + ")"
                       : entry.title;
    profile.protocol = "linux";
    profile.kernel = entry.linux;
    for (const std::string& initrd : entry.initrd) {
        profile.modules.emplace_back(initrd, classify_initrd(initrd));
    }
    if (entry.devicetree) {
        profile.modules.emplace_back(*entry.devicetree, store::AssetKind::DeviceTree);
    }
    profile.cmdline = entry.options;
    if (entry.sort_key) {
        profile.options["sort-key"] = {*entry.sort_key};
    }
    if (entry.architecture) {
        profile.options["architecture"] = {*entry.architecture};
    }
    return profile;
}

std::string normalise_subvolume(std::string_view subvolume) {
    std::string_view path = base::trim(subvolume);
    while (path.starts_with('/'))
        path.remove_prefix(1);
    while (path.ends_with('/'))
        path.remove_suffix(1);
    return "/" + std::string(path);
}

bool is_subvolume_part(std::string_view part) {
    return part.starts_with("subvol=") || part.starts_with("subvolid=");
}

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            joined += separator;
        joined += pieces[i];
    }
    return joined;
}

}  // namespace

std::optional<std::string> root_parameter(std::string_view options) {
    std::optional<std::string> root;
    for (std::string_view parameter : split_kernel_parameters(options)) {
        const bool quoted = parameter.starts_with('"');
        if (quoted)
            parameter.remove_prefix(1);
        if (!parameter.starts_with("root="))
            continue;
        std::string_view value = parameter.substr(5);
        if (value.starts_with('"')) {
            value.remove_prefix(1);
            if (value.ends_with('"'))
                value.remove_suffix(1);
        } else if (quoted && value.ends_with('"')) {
            value.remove_suffix(1);
        }
        root = std::string(value);
    }
    return root;
}

SourceSelection select_source_entries(const std::vector<BootEntry>& entries,
                                      std::string_view machine_id, std::string_view os_name,
                                      const NamesRootFilesystem& names_root) {
    std::vector<const BootEntry*> chosen;
    for (const BootEntry& entry : entries) {
        if (is_source_candidate(entry, machine_id)) {
            chosen.push_back(&entry);
        }
    }
    if (chosen.empty()) {
        for (const BootEntry& entry : entries) {
            if (is_root_candidate(entry, names_root)) {
                chosen.push_back(&entry);
            }
        }
    }
    if (chosen.empty()) {
        base::throw_error("no ordinary systemd-boot Linux entries were found for machine " +
                          std::string(machine_id));
    }
    std::stable_sort(chosen.begin(), chosen.end(), source_order);

    SourceSelection selection;
    selection.os_name = std::string(os_name);
    for (const BootEntry* entry : chosen) {
        selection.source_config += "# source-entry: " + entry->file_name + "\n" + entry->text;
        if (!entry->text.ends_with('\n')) {
            selection.source_config += '\n';
        }
        selection.source_config += '\n';
        selection.profiles.push_back(profile_of(*entry));
    }
    return selection;
}

store::AssetKind classify_initrd(std::string_view path) {
    const auto components = base::path_components(std::string(path));
    if (components.empty() || components.back() == "/" || !base::is_valid_utf8(components.back())) {
        return store::AssetKind::Initramfs;
    }
    const std::string name = base::to_lower_ascii(components.back());
    if (name.find("ucode") != std::string::npos || name.find("microcode") != std::string::npos) {
        return store::AssetKind::Microcode;
    }
    return store::AssetKind::Initramfs;
}

std::string rewrite_root_options(std::string_view options, std::string_view subvolume) {
    const std::string subvol_part = "subvol=" + normalise_subvolume(subvolume);
    std::vector<std::string> tokens;
    for (const std::string_view token : base::split_unicode_whitespace(options)) {
        tokens.emplace_back(token);
    }
    if (tokens.empty()) {
        return std::string(kRootflags) + subvol_part;
    }
    bool placed = false;
    std::optional<std::size_t> first_rootflags;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!tokens[i].starts_with(kRootflags)) {
            continue;
        }
        if (!first_rootflags)
            first_rootflags = i;
        std::vector<std::string> kept;
        for (const std::string_view part :
             base::split(std::string_view(tokens[i]).substr(kRootflags.size()), ',')) {
            if (part.empty()) {
                continue;
            }
            if (!is_subvolume_part(part)) {
                kept.emplace_back(part);
            } else if (!placed) {
                kept.push_back(subvol_part);
                placed = true;
            }
        }
        tokens[i] = std::string(kRootflags) + join(kept, ",");
    }
    if (!placed) {
        if (first_rootflags) {
            std::string& token = tokens[*first_rootflags];
            token += token == kRootflags ? subvol_part : "," + subvol_part;
        } else {
            tokens.push_back(std::string(kRootflags) + subvol_part);
        }
    }
    return join(tokens, " ");
}

std::string snapshot_options(std::string_view profile_cmdline, std::string_view subvolume,
                             std::string_view kernel_parameters) {
    std::string options = rewrite_root_options(profile_cmdline, subvolume);
    const std::string_view extra = base::trim(kernel_parameters);
    if (!extra.empty()) {
        if (!options.empty())
            options += ' ';
        options += extra;
    }
    return options;
}

}  // namespace snapwright::bootloader
