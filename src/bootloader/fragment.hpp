#pragma once

#include <filesystem>
#include <string>

#include "manifest/schema.hpp"

namespace snapwright::bootloader {

// The text the archive keeps in a snapshot's fragment.conf: the entries of every profile of
// `manifest`, rendered for `boot_data_relative`, joined with a newline between them (the file
// itself ends with a newline, added on writing). Throws render_entries' errors.
[[nodiscard]] std::string render_fragment(const manifest::SnapshotManifest& manifest,
                                          const std::filesystem::path& boot_data_relative);

// The same text without the check that every entry reads back, which is costly at thousands of
// snapshots: for comparing with a fragment.conf, whose text passed that check when it was
// written. Not for text about to be written.
[[nodiscard]] std::string render_fragment_for_comparison(
    const manifest::SnapshotManifest& manifest, const std::filesystem::path& boot_data_relative);

}  // namespace snapwright::bootloader
