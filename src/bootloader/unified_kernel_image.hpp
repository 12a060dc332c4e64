#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bootloader/pe_image.hpp"

namespace snapwright::bootloader {

// The sections of a unified kernel image that a snapshot's boot profile is made of. A
// multi-profile image (sections after a ".profile" section) is read as its first profile sees
// it: that profile's own sections, else the base sections before the first ".profile"; the
// sections of later profiles are ignored. Of several sections of one name in one part, the
// first counts.
struct UkiSections {
    PeSection linux;
    std::optional<PeSection> initrd;
    std::optional<PeSection> ucode;
    std::optional<PeSection> dtb;
    std::optional<PeSection> cmdline;
    std::optional<PeSection> osrel;
    std::optional<PeSection> uname;

    bool operator==(const UkiSections&) const = default;
};

// Picks the sections out of an image read by read_pe_image. Throws "malformed PE image <shown>:
// <what>" when there is no ".linux" section, or when one of the chosen sections is empty where
// it must not be or claims more memory than the file holds.
[[nodiscard]] UkiSections uki_sections(const PeImage& image, std::string_view shown);

// The text of a .cmdline section as the kernel reads it: up to the first NUL, every ASCII white
// space character a space, trimmed.
[[nodiscard]] std::string kernel_command_line_text(std::string_view section);

// The path from the boot root as entries write it: "/" and the named components joined by "/",
// without "." or repeated separators.
[[nodiscard]] std::string normal_boot_path(std::string_view value);

// Which file a unified kernel image was read from, to notice when it is replaced or rewritten
// between reading and capture.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_seconds = 0;
    long modified_nanoseconds = 0;
    std::int64_t changed_seconds = 0;
    long changed_nanoseconds = 0;

    bool operator==(const FileIdentity&) const = default;
};

// A unified kernel image on the boot filesystem, as read for source selection.
struct UnifiedKernelImage {
    // Every path (from the boot root, as entries write them) that named this file: its place
    // under /EFI/Linux and the efi or uki lines of Type #1 entries. The first is shown.
    std::vector<std::string> locations;
    std::string file_name;
    std::string digest;  // SHA-256 of the whole file
    FileIdentity identity;
    UkiSections sections;
    std::string cmdline;                 // the .cmdline text, empty without one
    std::optional<std::string> os_name;  // PRETTY_NAME, else NAME, of .osrel
    std::optional<std::string> uname;    // the .uname text, trimmed
    // Whether the kernel in .linux carries a signature of its own.
    bool kernel_signed = false;

    bool operator==(const UnifiedKernelImage&) const = default;
};

// The title of the image's profile: the .osrel name, else the file name without ".efi".
[[nodiscard]] std::string uki_title(const UnifiedKernelImage& image);

// The Type #1 text that records what a snapshot's profile was unpacked from: a comment line
// naming the image and its SHA-256, then its title, version and options.
[[nodiscard]] std::string uki_source_text(const UnifiedKernelImage& image,
                                          std::string_view cmdline);

}  // namespace snapwright::bootloader
