#include "bootloader/unified_kernel_image.hpp"

#include <array>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "bootloader/render.hpp"

namespace snapwright::bootloader {
namespace {

constexpr std::string_view kProfileSection = ".profile";

struct Wanted {
    std::string_view name;
    std::optional<PeSection> UkiSections::*field;
};

[[noreturn]] void refuse(std::string_view shown, const std::string& what) {
    base::throw_error("malformed PE image " + std::string(shown) + ": " + what);
}

// The first section named `name` in [begin, end) of the table.
std::optional<PeSection> first_named(const std::vector<PeSection>& sections, std::size_t begin,
                                     std::size_t end, std::string_view name) {
    for (std::size_t i = begin; i < end; ++i) {
        if (sections[i].name == name) {
            return sections[i];
        }
    }
    return std::nullopt;
}

}  // namespace

UkiSections uki_sections(const PeImage& image, std::string_view shown) {
    const std::vector<PeSection>& sections = image.sections;
    std::size_t base_end = sections.size();
    std::size_t profile_end = sections.size();
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].name != kProfileSection) {
            continue;
        }
        if (base_end == sections.size()) {
            base_end = i;
        } else {
            profile_end = i;
            break;
        }
    }
    const auto chosen = [&](std::string_view name) -> std::optional<PeSection> {
        std::optional<PeSection> section;
        if (base_end < sections.size()) {
            section = first_named(sections, base_end + 1, profile_end, name);
        }
        if (!section) {
            section = first_named(sections, 0, base_end, name);
        }
        if (section && section->zero_filled) {
            refuse(shown, "section " + std::string(name) + " is larger in memory than in the file");
        }
        return section;
    };

    UkiSections result;
    const std::optional<PeSection> linux = chosen(".linux");
    if (!linux) {
        refuse(shown, "no .linux section");
    }
    if (linux->size == 0) {
        refuse(shown, "empty .linux section");
    }
    result.linux = *linux;
    static constexpr std::array<Wanted, 6> kOthers{{
        {".initrd", &UkiSections::initrd},
        {".ucode", &UkiSections::ucode},
        {".dtb", &UkiSections::dtb},
        {".cmdline", &UkiSections::cmdline},
        {".osrel", &UkiSections::osrel},
        {".uname", &UkiSections::uname},
    }};
    for (const Wanted& wanted : kOthers) {
        result.*wanted.field = chosen(wanted.name);
        // An empty section holds nothing to boot with; it counts as absent.
        if (result.*wanted.field && (result.*wanted.field)->size == 0) {
            result.*wanted.field = std::nullopt;
        }
    }
    return result;
}

std::string kernel_command_line_text(std::string_view section) {
    if (const std::size_t nul = section.find('\0'); nul != std::string_view::npos) {
        section = section.substr(0, nul);
    }
    std::string text(section);
    for (char& c : text) {
        if (base::is_ascii_space(c)) {
            c = ' ';
        }
    }
    return std::string(base::trim(text));
}

std::string normal_boot_path(std::string_view value) {
    std::string path;
    for (const std::string& component : base::path_components(std::string(base::trim(value)))) {
        if (component == "/" || component == "." || component.empty()) {
            continue;
        }
        path += "/" + component;
    }
    return path.empty() ? "/" : path;
}

std::string uki_title(const UnifiedKernelImage& image) {
    if (image.os_name) {
        return *image.os_name;
    }
    std::string_view name = image.file_name;
    if (name.size() > 4 && base::equals_ignore_ascii_case(name.substr(name.size() - 4), ".efi")) {
        name.remove_suffix(4);
    }
    return std::string(name);
}

std::string uki_source_text(const UnifiedKernelImage& image, std::string_view cmdline) {
    std::string text =
        "# unified-kernel-image " + image.locations.front() + " sha256:" + image.digest + "\n";
    text += "title      " + single_line(uki_title(image)) + "\n";
    if (image.uname) {
        text += "version    " + single_line(*image.uname) + "\n";
    }
    if (!cmdline.empty()) {
        text += "options    " + std::string(cmdline) + "\n";
    }
    return text;
}

}  // namespace snapwright::bootloader
