#include <algorithm>
#include <string>

#include "base/app_error.hpp"
#include "fuzz_check.hpp"
#include "system/host_identity.hpp"

using namespace snapwright;

// The same bytes read as an os-release file and as a machine-id file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    try {
        const std::string name = system::parse_os_name(text, "/etc/os-release");
        fuzz::check(!name.empty(), "an os name is never empty");
    } catch (const base::AppError&) {
    }
    try {
        const std::string id = system::parse_machine_id(text, "/etc/machine-id");
        fuzz::check(
            system::is_machine_id(id) &&
                std::none_of(id.begin(), id.end(), [](char c) { return c >= 'A' && c <= 'F'; }),
            "a machine ID is 32 lower-case hexadecimal digits");
        fuzz::check(system::parse_machine_id(id, "/etc/machine-id") == id,
                    "a machine ID reads back as itself");
    } catch (const base::AppError&) {
    }
    return 0;
}
