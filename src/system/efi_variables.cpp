#include "system/efi_variables.hpp"

#include <cstdint>

#include "base/text.hpp"
#include "base/text_file.hpp"

namespace snapwright::system {
namespace {

// The vendor GUID under which systemd-boot keeps its variables.
constexpr std::string_view kLoaderGuid = "4a67b082-0a4c-41cf-b6c7-440b29bb8c4f";
// Loader variables are short strings; anything larger is not one.
constexpr std::size_t kMaxVariableBytes = 64 * 1024;

}  // namespace

std::optional<std::string> decode_efi_string(std::string_view file_bytes) {
    if (file_bytes.size() < 4) {
        return std::nullopt;
    }
    const std::string_view data = file_bytes.substr(4);
    std::string text;
    std::optional<char32_t> high;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto unit = static_cast<char32_t>(static_cast<std::uint8_t>(data[i]) |
                                                (static_cast<std::uint8_t>(data[i + 1]) << 8));
        if (unit == 0) {
            break;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF && high) {
            base::append_utf8(text, 0x10000 + ((*high - 0xD800) << 10) + (unit - 0xDC00));
            high.reset();
            continue;
        }
        if (high) {
            base::append_utf8(text, 0xFFFD);
            high.reset();
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            high = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            base::append_utf8(text, 0xFFFD);
        } else {
            base::append_utf8(text, unit);
        }
    }
    if (high) {
        base::append_utf8(text, 0xFFFD);
    }
    return text;
}

std::optional<std::string> read_loader_variable(const std::filesystem::path& efivars_directory,
                                                std::string_view name) {
    const std::filesystem::path file =
        efivars_directory / (std::string(name) + "-" + std::string(kLoaderGuid));
    const std::optional<std::string> bytes =
        base::read_regular_file_if_present(file, kMaxVariableBytes);
    if (!bytes) {
        return std::nullopt;
    }
    return decode_efi_string(*bytes);
}

}  // namespace snapwright::system
