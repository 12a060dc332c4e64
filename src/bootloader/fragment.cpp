#include "bootloader/fragment.hpp"

#include <vector>

#include "bootloader/render.hpp"

namespace snapwright::bootloader {

namespace {

std::string joined(const std::vector<GeneratedEntry>& entries) {
    std::string text;
    for (const GeneratedEntry& entry : entries) {
        if (!text.empty()) {
            text += '\n';
        }
        text += entry.text;
    }
    return text;
}

}  // namespace

std::string render_fragment(const manifest::SnapshotManifest& manifest,
                            const std::filesystem::path& boot_data_relative) {
    return joined(render_entries({manifest}, boot_data_relative));
}

std::string render_fragment_for_comparison(const manifest::SnapshotManifest& manifest,
                                           const std::filesystem::path& boot_data_relative) {
    return joined(render_entries_unchecked(manifest, boot_data_relative));
}

}  // namespace snapwright::bootloader
