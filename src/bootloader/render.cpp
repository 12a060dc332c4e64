#include "bootloader/render.hpp"

#include <algorithm>

#include "base/app_error.hpp"
#include "base/system_paths.hpp"
#include "base/text.hpp"
#include "bootloader/boot_paths.hpp"
#include "bootloader/entry_parser.hpp"

namespace snapwright::bootloader {
namespace {

using manifest::BootProfile;
using manifest::SnapshotManifest;

constexpr std::size_t kMaxFileNameBytes = 255;
constexpr const char* kSortKey = "snapwright";

bool is_control(char32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
}

// Values written as recorded must still not break the line they are on: a line break inside
// one would start a field of its own.
std::string without_line_breaks(std::string_view value) {
    std::string result(value);
    std::replace(result.begin(), result.end(), '\n', ' ');
    std::replace(result.begin(), result.end(), '\r', ' ');
    return result;
}

std::string entry_title(const SnapshotManifest& manifest, const BootProfile& profile) {
    const provider::SnapshotDescriptor& snapshot = manifest.snapshot;
    const auto property = snapshot.properties.find("snapshot");
    const std::string label = single_line(
        property != snapshot.properties.end() ? property->second : snapshot.key.snapshot_id);
    const std::string description = single_line(snapshot.description);
    std::string head = single_line(manifest.os_name) + " Snapshot " + label;
    if (!description.empty()) {
        head += " - " + description;
    }
    return head + " - " + single_line(profile.name);
}

std::string entry_text(const SnapshotManifest& manifest, const BootProfile& profile,
                       const fs::path& boot_data_relative) {
    const provider::SnapshotDescriptor& snapshot = manifest.snapshot;
    std::string text;
    const auto line = [&text](std::string_view head, std::string_view value) {
        text += head;
        text += value;
        text += '\n';
    };
    line(base::kOwnershipMarker, "");
    line("# provider=", without_line_breaks(snapshot.key.provider));
    line("# snapshot-id=", without_line_breaks(snapshot.key.snapshot_id));
    line("# subvolume=", without_line_breaks(snapshot.subvolume));
    line("title      ", entry_title(manifest, profile));
    line("version    ", single_line(snapshot.created_utc));
    line("machine-id ", without_line_breaks(manifest.machine_id));
    line("sort-key   ", kSortKey);
    if (const auto it = profile.options.find("architecture");
        it != profile.options.end() && !it->second.empty()) {
        line("architecture ", single_line(it->second.front()));
    }
    line("linux      ", boot_asset_path(boot_data_relative, profile.kernel.object));
    for (const store::AssetRef& module : profile.modules) {
        line(module.kind == store::AssetKind::DeviceTree ? "devicetree " : "initrd     ",
             boot_asset_path(boot_data_relative, module.object));
    }
    if (!profile.cmdline.empty()) {
        line("options    ", without_line_breaks(profile.cmdline));
    }
    for (const auto& [key, values] : profile.options) {
        if (key == "sort-key" || key == "architecture") {
            continue;
        }
        for (const std::string& value : values) {
            line(key + " ", single_line(value));
        }
    }
    return text;
}

bool oldest_first(const SnapshotManifest* a, const SnapshotManifest* b) {
    if (a->snapshot.created_utc != b->snapshot.created_utc) {
        return a->snapshot.created_utc < b->snapshot.created_utc;
    }
    return a->snapshot.key < b->snapshot.key;
}

}  // namespace

std::string entry_file_name(const SnapshotManifest& manifest, std::size_t index) {
    const provider::SnapshotKey& key = manifest.snapshot.key;
    std::string name = std::string(base::kEntryPrefix) + file_name_part(manifest.machine_id) + "-" +
                       file_name_part(key.filesystem_uuid) + "-" + file_name_part(key.provider) +
                       "-" + file_name_part(key.instance) + "-" + file_name_part(key.snapshot_id) +
                       "-" + std::to_string(index) + ".conf";
    if (name.size() > kMaxFileNameBytes) {
        base::throw_error("generated systemd-boot entry filename is too long");
    }
    return name;
}

std::string file_name_part(std::string_view value) {
    std::string part;
    std::size_t pos = 0;
    while (pos < value.size()) {
        const char32_t c = base::decode_utf8(value, pos);
        if (c >= 'A' && c <= 'Z') {
            part += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') {
            part += static_cast<char>(c);
        } else {
            part += '-';
        }
    }
    const std::size_t first = part.find_first_not_of('-');
    if (first == std::string::npos) {
        return {};
    }
    return part.substr(first, part.find_last_not_of('-') - first + 1);
}

std::string single_line(std::string_view value) {
    std::string result;
    std::size_t pos = 0;
    while (pos < value.size()) {
        const char32_t c = base::decode_utf8(value, pos);
        base::append_utf8(result, is_control(c) ? U' ' : c);
    }
    return std::string(base::trim(result));
}

namespace {

// The entries of `manifests`, newest snapshot first and then by file name (stable, so of two
// with one name the newer comes first). With `read_back`, each text is parsed as the entry
// directory reader will parse it.
std::vector<GeneratedEntry> render_in_order(std::vector<const SnapshotManifest*> manifests,
                                            const fs::path& boot_data_relative, bool read_back) {
    std::stable_sort(manifests.begin(), manifests.end(), oldest_first);
    std::vector<GeneratedEntry> entries;
    for (auto it = manifests.rbegin(); it != manifests.rend(); ++it) {
        const SnapshotManifest& manifest = **it;
        for (std::size_t index = 0; index < manifest.profiles.size(); ++index) {
            GeneratedEntry entry{
                entry_file_name(manifest, index),
                entry_text(manifest, manifest.profiles[index], boot_data_relative)};
            if (read_back) {
                // An entry this program cannot read back would stop every later run before it
                // could replace it, so it is refused before it is ever written.
                (void)parse_entry(entry.file_name, entry.text);
            }
            entries.push_back(std::move(entry));
        }
    }
    std::stable_sort(
        entries.begin(), entries.end(),
        [](const GeneratedEntry& a, const GeneratedEntry& b) { return a.file_name < b.file_name; });
    return entries;
}

}  // namespace

std::vector<GeneratedEntry> render_entries(const std::vector<SnapshotManifest>& manifests,
                                           const fs::path& boot_data_relative) {
    std::vector<const SnapshotManifest*> ordered;
    ordered.reserve(manifests.size());
    for (const SnapshotManifest& manifest : manifests) {
        ordered.push_back(&manifest);
    }
    return render_in_order(std::move(ordered), boot_data_relative, true);
}

std::vector<GeneratedEntry> render_entries_unchecked(const SnapshotManifest& manifest,
                                                     const fs::path& boot_data_relative) {
    return render_in_order({&manifest}, boot_data_relative, false);
}

}  // namespace snapwright::bootloader
