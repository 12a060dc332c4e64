#pragma once

// Small PE/COFF images written byte by byte, for tests of the image readers: a DOS header, the
// PE signature, a COFF header, a PE32+ optional header with 16 data directories, the section
// table and the sections' bytes at 512-byte file alignment.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace snapwright::testing {

struct PeSectionLayout {
    std::string name;
    std::string bytes;
    // Written as given when set, in place of what the layout would put there.
    std::optional<std::uint32_t> virtual_size = std::nullopt;
    std::optional<std::uint32_t> raw_size = std::nullopt;
    std::optional<std::uint32_t> raw_offset = std::nullopt;
};

struct PeLayout {
    std::vector<PeSectionLayout> sections;
    // Appends a certificate table and names it in the data directories.
    bool with_signature = false;
};

std::string build_pe(const PeLayout& layout);

// A unified kernel image as tools build them: a kernel that is itself a PE image (signed when
// `kernel_signed`), and the given text and initrd sections, each left out when empty.
struct UkiContents {
    std::string kernel_bytes = "kernel";
    bool kernel_signed = false;
    std::string initrd = "";
    std::string ucode = "";
    std::string cmdline = "";
    std::string osrel = "";
    std::string uname = "";
};

std::string build_uki(const UkiContents& contents);

}  // namespace snapwright::testing
