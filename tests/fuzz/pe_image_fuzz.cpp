#include <string>

#include "base/app_error.hpp"
#include "bootloader/pe_image.hpp"
#include "bootloader/unified_kernel_image.hpp"
#include "fuzz_check.hpp"

using namespace snapwright;

// The input is a whole image file, read through the same kind of bounded reader as a file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::as_text(data, size);
    const bootloader::ReadBytes read = [&](std::uint64_t offset, std::size_t length) {
        fuzz::check(offset <= bytes.size() && length <= bytes.size() - offset,
                    "only bytes inside the file are read");
        return std::string(bytes.substr(offset, length));
    };
    try {
        const bootloader::PeImage image = bootloader::read_pe_image(size, read, "fuzz.efi");
        fuzz::check(!image.sections.empty() && image.sections.size() <= bootloader::kMaxPeSections,
                    "a bounded, non-empty section table");
        for (const bootloader::PeSection& section : image.sections) {
            fuzz::check(section.offset <= size && section.size <= size - section.offset,
                        "every section lies inside the file");
        }
        const bootloader::UkiSections sections = bootloader::uki_sections(image, "fuzz.efi");
        fuzz::check(sections.linux.size > 0, "a kernel is never empty");
        if (sections.cmdline) {
            const std::string text = bootloader::kernel_command_line_text(
                bytes.substr(sections.cmdline->offset, sections.cmdline->size));
            fuzz::check(
                text.find('\n') == std::string::npos && text.find('\0') == std::string::npos,
                "a command line is one line");
        }
    } catch (const base::AppError&) {
    }
    return 0;
}
