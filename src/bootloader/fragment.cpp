#include "bootloader/fragment.hpp"

#include "bootloader/render.hpp"

namespace snapwright::bootloader {

std::string render_fragment(const manifest::SnapshotManifest& manifest,
                            const std::filesystem::path& boot_data_relative) {
    std::string text;
    for (const GeneratedEntry& entry : render_entries({manifest}, boot_data_relative)) {
        if (!text.empty()) {
            text += '\n';
        }
        text += entry.text;
    }
    return text;
}

}  // namespace snapwright::bootloader
