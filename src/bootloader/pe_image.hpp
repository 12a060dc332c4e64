#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace snapwright::bootloader {

// The Windows loader's own limit on sections; a unified kernel image has about a dozen.
inline constexpr std::size_t kMaxPeSections = 96;

// One section of a PE/COFF image file as its section table describes it.
struct PeSection {
    std::string name;          // the 8-byte name without its NUL padding
    std::uint64_t offset = 0;  // of the section's bytes in the file
    std::uint64_t size = 0;    // of its content in the file
    // Whether the section occupies more bytes in memory than the file holds (zero-filled tail).
    bool zero_filled = false;

    bool operator==(const PeSection&) const = default;
};

struct PeImage {
    std::vector<PeSection> sections;  // in table order
    // Whether the image carries an Authenticode certificate table, so that firmware with Secure
    // Boot enabled can verify it.
    bool has_signature = false;

    bool operator==(const PeImage&) const = default;
};

// Reads exactly `length` bytes at `offset`, which the reader guarantees lie within the file.
using ReadBytes = std::function<std::string(std::uint64_t offset, std::size_t length)>;

// Reads the headers and the section table of a PE/COFF image of `file_size` bytes: the DOS header
// and its "MZ", the "PE\0\0" signature, the COFF header, the optional header (PE32 or PE32+) and
// its data directories, and the section table (at most kMaxPeSections entries). Every offset and
// size is checked against the file and against overflow; the bytes of sections must lie in the
// file after the headers and must not overlap. Only header bytes are read, never section
// content. Throws "malformed PE image <shown>: <what is wrong>".
[[nodiscard]] PeImage read_pe_image(std::uint64_t file_size, const ReadBytes& read,
                                    std::string_view shown);

}  // namespace snapwright::bootloader
