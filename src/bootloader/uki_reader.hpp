#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/unique_fd.hpp"
#include "bootloader/entry_parser.hpp"
#include "bootloader/unified_kernel_image.hpp"
#include "system/secure_boot.hpp"

namespace snapwright::bootloader {

// What the boot filesystem offers as unified kernel images.
struct UkiScan {
    // In the order found: /EFI/Linux by file name, then the entries' files in entry order; a
    // file named several ways is one image with several locations.
    std::vector<UnifiedKernelImage> images;
    // One message per file passed over, naming it and what is wrong with it.
    std::vector<std::string> refusals;
};

// Reads the unified kernel images of `boot_root`: every regular file "*.efi" (any case, not
// hidden) directly in EFI/Linux, and the file that the uki line, or else the efi line, of each
// ordinary entry without a linux line names. Symbolic links are never followed to a file. Every
// header, offset and size is checked (read_pe_image), the kernel in .linux must itself be a PE
// image, and .cmdline, .osrel and .uname must be UTF-8 text of at most 64 KiB; a file that fails
// is refused, as is an image whose kernel is not signed on its own while Secure Boot is enabled
// (no snapshot entry made from it could boot). An efi line naming an EFI program without a .linux
// section is not an image and passed over silently. `with_digest` hashes each whole image.
// Nothing here throws for one bad file; an EFI/Linux that is missing, a link or not readable
// holds no image, and another failure to read it is an I/O error.
[[nodiscard]] UkiScan scan_unified_kernel_images(const std::filesystem::path& boot_root,
                                                 const std::vector<BootEntry>& entries,
                                                 system::SecureBoot secure_boot,
                                                 bool with_digest = true);

// Opens the image at `location` under `boot_root` again for capture: the descriptor of a
// regular file, opened without following a link, whose identity is still `identity`. Throws
// "unified kernel image <location> changed since it was read" otherwise.
[[nodiscard]] base::UniqueFd reopen_unified_kernel_image(const std::filesystem::path& boot_root,
                                                         const std::string& location,
                                                         const FileIdentity& identity);

}  // namespace snapwright::bootloader
