#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bootloader/entry_parser.hpp"

namespace snapwright::bootloader {

namespace fs = std::filesystem;

// Reads and parses every "*.conf" file of the entry directory, in path order. Any entry that is
// not a regular file, has a name that is not UTF-8, cannot be read or does not parse fails the
// whole read; the caller owns the returned entries.
[[nodiscard]] std::vector<BootEntry> read_entry_directory(const fs::path& entry_directory);

// The generated entries of this installation, by file name: regular files named
// "snapwright-*.conf" that carry the marker line. Several installations may share one boot
// partition, so a file whose machine-id line names another machine (compared without ASCII
// case) is left out, and only the machine-id is read from it; a file without a machine-id line
// stays in. Only the files listed here may be replaced or removed.
[[nodiscard]] std::map<std::string, std::string> list_generated_entry_files(
    const fs::path& entry_directory, std::string_view machine_id);

// Whether a generated entry text belongs to the installation with `machine_id`: it has no
// machine-id line, or its last one names that machine.
[[nodiscard]] bool belongs_to_machine(std::string_view text, std::string_view machine_id);

}  // namespace snapwright::bootloader
