#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/schema.hpp"

namespace snapwright::bootloader {

namespace fs = std::filesystem;

// One systemd-boot entry file as snapwright writes it.
struct GeneratedEntry {
    std::string file_name;  // "snapwright-...-<profile index>.conf", at most 255 bytes
    std::string text;       // UTF-8, every line ended by a line feed

    bool operator==(const GeneratedEntry&) const = default;
};

// One entry per profile of every manifest, ordered by file name. `boot_data_relative` is the
// boot data directory relative to the boot root; entries name their objects below it. Every
// rendered text parses back as an owned entry. Throws "generated systemd-boot entry filename is
// too long", an invalid object identity's error, or the parser's error for a profile whose
// recorded fields cannot form a valid entry; nothing is returned then.
[[nodiscard]] std::vector<GeneratedEntry> render_entries(
    const std::vector<manifest::SnapshotManifest>& manifests, const fs::path& boot_data_relative);

// The entries of `manifest` alone, in render_entries' order and with its texts and errors, but
// without reading each text back: only for comparing with text that passed that check when it
// was written, so a text that would fail it never compares equal.
[[nodiscard]] std::vector<GeneratedEntry> render_entries_unchecked(
    const manifest::SnapshotManifest& manifest, const fs::path& boot_data_relative);

// The file name of the entry for the profile at `index` among the deployed profiles of
// `manifest`; throws "generated systemd-boot entry filename is too long".
[[nodiscard]] std::string entry_file_name(const manifest::SnapshotManifest& manifest,
                                          std::size_t index);

// ASCII letters lower-cased, digits and "_" kept, every other character "-"; then leading and
// trailing "-" stripped.
[[nodiscard]] std::string file_name_part(std::string_view value);

// Line feeds, carriage returns and other C0 and C1 controls and DEL become spaces; the result
// is trimmed of white space.
[[nodiscard]] std::string single_line(std::string_view value);

}  // namespace snapwright::bootloader
