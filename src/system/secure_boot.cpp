#include "system/secure_boot.hpp"

#include <optional>
#include <string>

#include "base/text_file.hpp"

namespace snapwright::system {
namespace {

// The variable's name: "SecureBoot" and the EFI global variable GUID.
constexpr const char* kSecureBootVariable = "SecureBoot-8be4df61-93ca-11d2-aa0d-00e098032b8c";
constexpr std::size_t kAttributeBytes = 4;

}  // namespace

SecureBoot read_secure_boot(const std::filesystem::path& efivars) {
    const std::optional<std::string> value =
        base::read_regular_file_if_present(efivars / kSecureBootVariable, 64);
    if (!value || value->size() != kAttributeBytes + 1) {
        return SecureBoot::NotReported;
    }
    switch ((*value)[kAttributeBytes]) {
        case 0:
            return SecureBoot::Disabled;
        case 1:
            return SecureBoot::Enabled;
        default:
            return SecureBoot::NotReported;
    }
}

std::string_view secure_boot_text(SecureBoot state) {
    switch (state) {
        case SecureBoot::Enabled:
            return "enabled";
        case SecureBoot::Disabled:
            return "disabled";
        case SecureBoot::NotReported:
            break;
    }
    return "not reported by the firmware";
}

}  // namespace snapwright::system
