#include "bootloader/pe_image.hpp"

#include <gtest/gtest.h>

#include "bootloader/unified_kernel_image.hpp"
#include "support/error_of.hpp"
#include "support/pe_builder.hpp"

namespace snapwright::bootloader {
namespace {

using testing::build_pe;
using testing::PeLayout;
using testing::PeSectionLayout;

PeImage read(const std::string& bytes) {
    return read_pe_image(
        bytes.size(),
        [&](std::uint64_t offset, std::size_t length) { return bytes.substr(offset, length); },
        "/EFI/Linux/a.efi");
}

std::string refusal(const std::string& bytes) {
    return testing::error_of([&] { (void)uki_sections(read(bytes), "/EFI/Linux/a.efi"); });
}

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// Where the builder puts the first section header and the optional header.
constexpr std::size_t kOptional = 64 + 24;
constexpr std::size_t kTable = kOptional + 240;

TEST(PeImage, RefusesEveryMalformedImageNamingWhatIsWrong) {
    const std::string valid = build_pe({.sections = {{.name = ".linux", .bytes = "kernel"}}});
    struct Case {
        const char* what;
        std::string bytes;
        const char* expected;
    };
    std::string no_mz = valid;
    no_mz[0] = 'X';
    std::string pe_in_dos = valid;
    put32(pe_in_dos, 0x3C, 8);
    std::string pe_past_end = valid;
    put32(pe_past_end, 0x3C, 0xFFFFFFF0);
    std::string no_signature = valid;
    no_signature[64] = 'X';
    std::string bad_magic = valid;
    bad_magic[kOptional] = 0x0B;
    bad_magic[kOptional + 1] = 0x05;
    std::string many_directories = valid;
    put32(many_directories, kOptional + 108, 17);
    std::string past_end = valid;
    put32(past_end, kTable + 20, 0xFFFFFE00);
    std::string overflow = valid;
    put32(overflow, kTable + 16, 0xFFFFFFFF);
    put32(overflow, kTable + 20, 0xFFFFFFFF);
    std::string into_headers = valid;
    put32(into_headers, kTable + 20, 64);
    std::string certificate_outside =
        build_pe({.sections = {{.name = ".linux", .bytes = "kernel"}}, .with_signature = true});
    put32(certificate_outside, kOptional + 112 + 36, 0xFFFFFFFF);
    std::vector<PeSectionLayout> crowd(97, PeSectionLayout{.name = ".x", .bytes = ""});
    const Case cases[] = {
        {"truncated DOS header", valid.substr(0, 40), "too short for a DOS header"},
        {"no MZ", no_mz, "no DOS signature"},
        {"PE header in the DOS header", pe_in_dos, "PE header offset 8 lies inside the DOS header"},
        {"PE header past the end", pe_past_end, "PE header runs past the end of the file"},
        {"truncated optional header", valid.substr(0, 200),
         "optional header runs past the end of the file"},
        {"truncated section table", valid.substr(0, kTable + 20),
         "section table runs past the end of the file"},
        {"no PE signature", no_signature, "no PE signature"},
        {"unknown magic", bad_magic, "unknown optional header magic 1291"},
        {"too many directories", many_directories, "17 data directories, more than 16"},
        {"section past the end", past_end, "section .linux runs past the end of the file"},
        {"size overflow", overflow, "section .linux runs past the end of the file"},
        {"section in the headers", into_headers, "section .linux overlaps the headers"},
        {"certificate outside", certificate_outside, "certificate table lies outside the file"},
        {"too many sections", build_pe({.sections = crowd}), "97 sections, more than 96"},
        {"no sections", build_pe({}), "no sections"},
        {"overlapping sections",
         build_pe({.sections = {{.name = ".linux", .bytes = "kernel"},
                                {.name = ".initrd", .bytes = "initrd", .raw_offset = 600}}}),
         "sections .linux and .initrd overlap"},
        {"no .linux", build_pe({.sections = {{.name = ".initrd", .bytes = "i"}}}),
         "no .linux section"},
        {"empty .linux", build_pe({.sections = {{.name = ".linux", .bytes = ""}}}),
         "empty .linux section"},
        {"zero-filled .linux",
         build_pe({.sections = {{.name = ".linux", .bytes = "k", .virtual_size = 4096}}}),
         "section .linux is larger in memory than in the file"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusal(c.bytes),
                  std::string("malformed PE image /EFI/Linux/a.efi: ") + c.expected)
            << c.what;
    }
}

TEST(UkiSections, TakesTheFirstOfEachAndTheFirstProfileOverTheBase) {
    const std::string bytes = build_pe({.sections = {
                                            {.name = ".linux", .bytes = "kernel"},
                                            {.name = ".cmdline", .bytes = "base"},
                                            {.name = ".linux", .bytes = "second kernel"},
                                            {.name = ".initrd", .bytes = "initrd"},
                                            {.name = ".profile", .bytes = "ID=one"},
                                            {.name = ".cmdline", .bytes = "first profile"},
                                            {.name = ".profile", .bytes = "ID=two"},
                                            {.name = ".cmdline", .bytes = "second profile"},
                                            {.name = ".dtb", .bytes = "later profile"},
                                        }});
    const UkiSections sections = uki_sections(read(bytes), "x");
    const auto text = [&](const PeSection& section) {
        return bytes.substr(section.offset, section.size);
    };
    EXPECT_EQ(text(sections.linux), "kernel");
    EXPECT_EQ(text(*sections.initrd), "initrd");
    ASSERT_TRUE(sections.cmdline);
    EXPECT_EQ(text(*sections.cmdline), "first profile");
    EXPECT_FALSE(sections.dtb);
    EXPECT_FALSE(sections.ucode);
}

TEST(KernelCommandLineText, ReadsTheSectionAsTheKernelDoes) {
    EXPECT_EQ(kernel_command_line_text("root=UUID=x\trw\nquiet\n\0garbage"),
              "root=UUID=x rw quiet");
    EXPECT_EQ(kernel_command_line_text(std::string_view("\n\0", 2)), "");
}

}  // namespace
}  // namespace snapwright::bootloader
