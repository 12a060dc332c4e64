#include "bootloader/pe_image.hpp"

#include <algorithm>

#include "base/app_error.hpp"

namespace snapwright::bootloader {
namespace {

constexpr std::uint64_t kDosHeaderBytes = 64;
constexpr std::uint64_t kPeHeaderOffsetField = 0x3C;
constexpr std::uint64_t kSignatureBytes = 4;
constexpr std::uint64_t kCoffHeaderBytes = 20;
constexpr std::uint64_t kSectionHeaderBytes = 40;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
// Where NumberOfRvaAndSizes lies in each optional header; the directories follow it.
constexpr std::uint64_t kPe32DirectoryCount = 92;
constexpr std::uint64_t kPe32PlusDirectoryCount = 108;
constexpr std::uint64_t kMaxDataDirectories = 16;
constexpr std::uint64_t kCertificateDirectory = 4;

std::uint16_t le16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t le32(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(le16(bytes, at)) |
           static_cast<std::uint32_t>(le16(bytes, at + 2)) << 16;
}

class HeaderReader {
  public:
    HeaderReader(std::uint64_t file_size, const ReadBytes& read, std::string_view shown)
        : file_size_(file_size), read_(read), shown_(shown) {}

    [[noreturn]] void refuse(const std::string& what) const {
        base::throw_error("malformed PE image " + std::string(shown_) + ": " + what);
    }

    // `length` bytes at `offset`, refused with `what` when they do not lie in the file.
    std::string bytes(std::uint64_t offset, std::uint64_t length, const std::string& what) const {
        if (offset > file_size_ || length > file_size_ - offset) {
            refuse(what);
        }
        std::string got = read_(offset, static_cast<std::size_t>(length));
        if (got.size() != length) {
            refuse("short read of its headers");
        }
        return got;
    }

    std::uint64_t file_size() const { return file_size_; }

  private:
    std::uint64_t file_size_;
    const ReadBytes& read_;
    std::string_view shown_;
};

std::string section_name(std::string_view header) {
    std::string_view name = header.substr(0, 8);
    if (const std::size_t nul = name.find('\0'); nul != std::string_view::npos) {
        name = name.substr(0, nul);
    }
    return std::string(name);
}

// The name as shown in messages: printable ASCII kept, anything else escaped.
std::string shown_name(std::string_view name) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x21 && byte < 0x7F) {
            shown += c;
        } else {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xF];
        }
    }
    return shown;
}

// Whether the optional header's data directories name a certificate table, which must then
// lie in the file after `headers_end`.
bool read_signature(const HeaderReader& reader, std::string_view optional,
                    std::uint64_t headers_end) {
    if (optional.size() < 2) {
        reader.refuse("no optional header");
    }
    const std::uint16_t magic = le16(optional, 0);
    std::uint64_t count_at = 0;
    if (magic == kPe32Magic) {
        count_at = kPe32DirectoryCount;
    } else if (magic == kPe32PlusMagic) {
        count_at = kPe32PlusDirectoryCount;
    } else {
        reader.refuse("unknown optional header magic " + std::to_string(magic));
    }
    if (optional.size() < count_at + 4) {
        reader.refuse("optional header too short");
    }
    const std::uint64_t count = le32(optional, count_at);
    if (count > kMaxDataDirectories) {
        reader.refuse(std::to_string(count) + " data directories, more than 16");
    }
    if (optional.size() < count_at + 4 + count * 8) {
        reader.refuse("data directories run past the optional header");
    }
    if (count <= kCertificateDirectory) {
        return false;
    }
    const std::size_t entry = count_at + 4 + kCertificateDirectory * 8;
    // This directory alone holds a file offset rather than an address in memory.
    const std::uint64_t offset = le32(optional, entry);
    const std::uint64_t size = le32(optional, entry + 4);
    if (size == 0) {
        return false;
    }
    if (offset < headers_end || offset > reader.file_size() || size > reader.file_size() - offset) {
        reader.refuse("certificate table lies outside the file");
    }
    return true;
}

}  // namespace

PeImage read_pe_image(std::uint64_t file_size, const ReadBytes& read, std::string_view shown) {
    const HeaderReader reader(file_size, read, shown);
    const std::string dos = reader.bytes(0, kDosHeaderBytes, "too short for a DOS header");
    if (dos.compare(0, 2, "MZ") != 0) {
        reader.refuse("no DOS signature");
    }
    const std::uint64_t pe_offset = le32(dos, kPeHeaderOffsetField);
    if (pe_offset < kDosHeaderBytes) {
        reader.refuse("PE header offset " + std::to_string(pe_offset) +
                      " lies inside the DOS header");
    }
    const std::string header = reader.bytes(pe_offset, kSignatureBytes + kCoffHeaderBytes,
                                            "PE header runs past the end of the file");
    if (header.compare(0, 4, std::string_view("PE\0\0", 4)) != 0) {
        reader.refuse("no PE signature");
    }
    const std::uint64_t count = le16(header, 4 + 2);
    const std::uint64_t optional_size = le16(header, 4 + 16);
    if (count == 0) {
        reader.refuse("no sections");
    }
    if (count > kMaxPeSections) {
        reader.refuse(std::to_string(count) + " sections, more than " +
                      std::to_string(kMaxPeSections));
    }
    // All of these are far below 2^64: two 16-bit counts and a 32-bit offset.
    const std::uint64_t optional_at = pe_offset + kSignatureBytes + kCoffHeaderBytes;
    const std::uint64_t table_at = optional_at + optional_size;
    const std::uint64_t table_bytes = count * kSectionHeaderBytes;
    const std::string optional =
        reader.bytes(optional_at, optional_size, "optional header runs past the end of the file");
    const std::string table =
        reader.bytes(table_at, table_bytes, "section table runs past the end of the file");
    const std::uint64_t headers_end = table_at + table_bytes;

    PeImage image;
    image.has_signature = read_signature(reader, optional, headers_end);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::string_view entry =
            std::string_view(table).substr(i * kSectionHeaderBytes, kSectionHeaderBytes);
        PeSection section;
        section.name = section_name(entry);
        const std::uint64_t virtual_size = le32(entry, 8);
        const std::uint64_t raw_size = le32(entry, 16);
        const std::uint64_t raw_offset = le32(entry, 20);
        const std::string name = shown_name(section.name);
        if (raw_size > 0) {
            if (raw_offset < headers_end) {
                reader.refuse("section " + name + " overlaps the headers");
            }
            if (raw_offset > file_size || raw_size > file_size - raw_offset) {
                reader.refuse("section " + name + " runs past the end of the file");
            }
        }
        section.offset = raw_size > 0 ? raw_offset : 0;
        // The file rounds a section up to its alignment; the size in memory is the content.
        section.size = virtual_size > 0 ? std::min(virtual_size, raw_size) : raw_size;
        section.zero_filled = virtual_size > raw_size;
        image.sections.push_back(std::move(section));
    }

    std::vector<std::pair<std::uint64_t, std::size_t>> placed;
    for (std::size_t i = 0; i < image.sections.size(); ++i) {
        if (le32(std::string_view(table).substr(i * kSectionHeaderBytes), 16) > 0) {
            placed.emplace_back(image.sections[i].offset, i);
        }
    }
    std::sort(placed.begin(), placed.end());
    for (std::size_t i = 1; i < placed.size(); ++i) {
        const std::size_t before = placed[i - 1].second;
        const std::uint64_t before_end =
            placed[i - 1].first +
            le32(std::string_view(table).substr(before * kSectionHeaderBytes), 16);
        if (placed[i].first < before_end) {
            reader.refuse("sections " + shown_name(image.sections[before].name) + " and " +
                          shown_name(image.sections[placed[i].second].name) + " overlap");
        }
    }
    return image;
}

}  // namespace snapwright::bootloader
