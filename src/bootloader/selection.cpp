#include "bootloader/selection.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <tuple>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "bootloader/booted_subvolume.hpp"

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
// machine only through the root they mount: the filesystem and, since several installations
// can share one Btrfs filesystem, the subvolume. One that names no root, another filesystem or
// another subvolume is never taken.
class RootCandidates {
  public:
    explicit RootCandidates(const RunningRoot& running_root) : running_root_(running_root) {}

    bool taken(const BootEntry& entry) {
        return !is_owned_entry(entry) && !entry.machine_id && !entry.linux.empty() &&
               mounts_running_root(entry.options);
    }

    // Whether a command line mounts the running root filesystem and subvolume.
    bool mounts_running_root(std::string_view options) {
        if (!running_root_.names_filesystem || !running_root_.subvolume) {
            return false;
        }
        const std::optional<std::string> root = root_parameter(options);
        if (!root || !running_root_.names_filesystem(*root)) {
            return false;
        }
        if (!subvolume_) {
            subvolume_ = running_root_.subvolume();
        }
        return mounts_root_subvolume(options, *subvolume_);
    }

  private:
    const RunningRoot& running_root_;
    std::optional<system::RootSubvolume> subvolume_;
};

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

// The values of every parameter `name`= in order, unquoted as the kernel does: quotes around
// the whole parameter or around its value are removed.
std::vector<std::string_view> parameter_values(std::string_view options, std::string_view name) {
    std::vector<std::string_view> values;
    for (std::string_view parameter : split_kernel_parameters(options)) {
        const bool quoted = parameter.starts_with('"');
        if (quoted)
            parameter.remove_prefix(1);
        if (!parameter.starts_with(name) || parameter.substr(name.size(), 1) != "=")
            continue;
        std::string_view value = parameter.substr(name.size() + 1);
        if (value.starts_with('"')) {
            value.remove_prefix(1);
            if (value.ends_with('"'))
                value.remove_suffix(1);
        } else if (quoted && value.ends_with('"')) {
            value.remove_suffix(1);
        }
        values.push_back(value);
    }
    return values;
}

// A subvolid= number as the kernel's kstrtoull with base 0 reads it.
std::optional<std::uint64_t> subvolume_id_value(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    // The kernel reads 0 as the top level.
    return value == 0 ? 5 : value;
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

// Whether an ordinary entry without a linux line names the image by its uki or efi line.
bool names_image(const BootEntry& entry, const UnifiedKernelImage& image) {
    if (is_owned_entry(entry) || !entry.linux.empty()) {
        return false;
    }
    const std::optional<std::string>& value = entry.uki ? entry.uki : entry.efi;
    return value && std::find(image.locations.begin(), image.locations.end(),
                              normal_boot_path(*value)) != image.locations.end();
}

struct ChosenImage {
    const UnifiedKernelImage* image;
    std::string cmdline;
};

std::vector<ChosenImage> choose_images(const std::vector<BootEntry>& entries,
                                       const std::vector<UnifiedKernelImage>& images,
                                       std::string_view machine_id, RootCandidates& candidates) {
    std::vector<ChosenImage> chosen;
    for (const UnifiedKernelImage& image : images) {
        std::string cmdline = image.cmdline;
        bool machine_entry = false;
        for (const BootEntry& entry : entries) {
            if (!names_image(entry, image)) {
                continue;
            }
            if (cmdline.empty()) {
                cmdline = entry.options;
            }
            machine_entry =
                machine_entry ||
                (entry.machine_id && base::equals_ignore_ascii_case(*entry.machine_id, machine_id));
        }
        if (machine_entry || candidates.mounts_running_root(cmdline)) {
            chosen.push_back(ChosenImage{&image, std::move(cmdline)});
        }
    }
    std::stable_sort(chosen.begin(), chosen.end(), [](const ChosenImage& a, const ChosenImage& b) {
        const auto key = [](const ChosenImage& c) {
            return std::tie(c.image->os_name, c.image->uname, c.image->locations.front());
        };
        const std::string title_a = uki_title(*a.image);
        const std::string title_b = uki_title(*b.image);
        if (title_a != title_b) {
            return title_a < title_b;
        }
        return key(a) < key(b);
    });
    return chosen;
}

SourceProfile profile_of(const ChosenImage& chosen) {
    const UnifiedKernelImage& image = *chosen.image;
    SourceProfile profile;
    const std::string title = uki_title(image);
    profile.name = image.uname ? title + " (" + *image.uname + ")" : title;
    profile.protocol = "linux";
    profile.kernel = ".linux";
    if (image.sections.ucode) {
        profile.modules.emplace_back(".ucode", store::AssetKind::Microcode);
    }
    if (image.sections.initrd) {
        profile.modules.emplace_back(".initrd", store::AssetKind::Initramfs);
    }
    if (image.sections.dtb) {
        profile.modules.emplace_back(".dtb", store::AssetKind::DeviceTree);
    }
    profile.cmdline = chosen.cmdline;
    profile.image = UkiOrigin{image.locations.front(), image.identity, image.sections};
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
    const std::vector<std::string_view> values = parameter_values(options, "root");
    if (values.empty()) {
        return std::nullopt;
    }
    return std::string(values.back());
}

bool mounts_root_subvolume(std::string_view options, const system::RootSubvolume& root) {
    std::optional<std::string_view> named;
    for (const std::string_view flags : parameter_values(options, "rootflags")) {
        for (const std::string_view part : base::split(flags, ',')) {
            if (is_subvolume_part(part)) {
                named = part;
            }
        }
    }
    if (!named) {
        return root.is_default;
    }
    if (named->starts_with("subvolid=")) {
        return subvolume_id_value(named->substr(9)) == root.id;
    }
    return subvolume_path_from_top_level(named->substr(7)) ==
           subvolume_path_from_top_level(root.path);
}

SourceSelection select_source_entries(const std::vector<BootEntry>& entries,
                                      std::string_view machine_id, std::string_view os_name,
                                      const RunningRoot& running_root,
                                      const ReadUnifiedKernelImages& read_images) {
    std::vector<const BootEntry*> chosen;
    for (const BootEntry& entry : entries) {
        if (is_source_candidate(entry, machine_id)) {
            chosen.push_back(&entry);
        }
    }
    RootCandidates candidates(running_root);
    if (chosen.empty()) {
        for (const BootEntry& entry : entries) {
            if (candidates.taken(entry)) {
                chosen.push_back(&entry);
            }
        }
    }
    if (chosen.empty() && read_images) {
        const std::vector<UnifiedKernelImage> images = read_images(entries);
        const std::vector<ChosenImage> taken =
            choose_images(entries, images, machine_id, candidates);
        if (!taken.empty()) {
            SourceSelection selection;
            selection.os_name = std::string(os_name);
            for (const ChosenImage& image : taken) {
                selection.source_config += "# source-entry: " + image.image->file_name + "\n" +
                                           uki_source_text(*image.image, image.cmdline) + "\n";
                selection.profiles.push_back(profile_of(image));
            }
            return selection;
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
