#include "support/pe_builder.hpp"

namespace snapwright::testing {
namespace {

constexpr std::uint32_t kAlignment = 512;
constexpr std::uint32_t kPeOffset = 64;
constexpr std::uint32_t kOptionalBytes = 112 + 16 * 8;

void put16(std::string& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    put16(bytes, at, value & 0xFFFF);
    put16(bytes, at + 2, value >> 16);
}

std::uint32_t aligned(std::size_t size) {
    return static_cast<std::uint32_t>((size + kAlignment - 1) / kAlignment * kAlignment);
}

}  // namespace

std::string build_pe(const PeLayout& layout) {
    const std::size_t table_at = kPeOffset + 24 + kOptionalBytes;
    std::string image(table_at + 40 * layout.sections.size(), '\0');
    image[0] = 'M';
    image[1] = 'Z';
    put32(image, 0x3C, kPeOffset);
    image.replace(kPeOffset, 4, std::string("PE\0\0", 4));
    put16(image, kPeOffset + 4, 0x8664);
    put16(image, kPeOffset + 6, static_cast<std::uint32_t>(layout.sections.size()));
    put16(image, kPeOffset + 20, kOptionalBytes);
    const std::size_t optional_at = kPeOffset + 24;
    put16(image, optional_at, 0x20B);
    put32(image, optional_at + 108, 16);

    std::uint32_t data_at = aligned(image.size());
    std::uint32_t address = 0x1000;
    image.resize(data_at, '\0');
    for (std::size_t i = 0; i < layout.sections.size(); ++i) {
        const PeSectionLayout& section = layout.sections[i];
        const std::size_t entry = table_at + 40 * i;
        image.replace(entry, std::min<std::size_t>(section.name.size(), 8), section.name, 0, 8);
        const auto size = static_cast<std::uint32_t>(section.bytes.size());
        const std::uint32_t raw = aligned(size);
        put32(image, entry + 8, section.virtual_size.value_or(size));
        put32(image, entry + 12, address);
        put32(image, entry + 16, section.raw_size.value_or(raw));
        put32(image, entry + 20, section.raw_offset.value_or(size == 0 ? 0 : data_at));
        address += aligned(size) + 0x1000;
        if (size > 0) {
            image.resize(data_at + raw, '\0');
            image.replace(data_at, size, section.bytes);
            data_at += raw;
        }
    }
    if (layout.with_signature) {
        const std::string certificate("\x10\0\0\0\0\x02\x02\0signature", 17);
        put32(image, optional_at + 112 + 4 * 8, static_cast<std::uint32_t>(image.size()));
        put32(image, optional_at + 112 + 4 * 8 + 4, static_cast<std::uint32_t>(certificate.size()));
        image += certificate;
    }
    return image;
}

std::string build_uki(const UkiContents& contents) {
    PeLayout uki;
    uki.sections.push_back({.name = ".text", .bytes = std::string(64, '\xC3')});
    const auto add = [&](const char* name, const std::string& bytes) {
        if (!bytes.empty()) {
            uki.sections.push_back({.name = name, .bytes = bytes});
        }
    };
    add(".osrel", contents.osrel);
    add(".cmdline", contents.cmdline);
    add(".uname", contents.uname);
    add(".ucode", contents.ucode);
    add(".initrd", contents.initrd);
    add(".linux", build_pe({.sections = {{.name = ".text", .bytes = contents.kernel_bytes}},
                            .with_signature = contents.kernel_signed}));
    return build_pe(uki);
}

}  // namespace snapwright::testing
