#include <string>

#include "base/app_error.hpp"
#include "bootloader/entry_parser.hpp"
#include "bootloader/selection.hpp"
#include "fuzz_check.hpp"
#include "system/root_device.hpp"

using namespace snapwright;

// The first line of the input is the file name, the rest the entry text.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto [file_name, text] = fuzz::split_first_line(fuzz::as_text(data, size));

    // These read entries of other installations, which are never parsed as a whole.
    const std::optional<std::string> machine_id = bootloader::entry_machine_id(text);
    (void)bootloader::has_ownership_marker(text);
    try {
        const bootloader::BootEntry entry = bootloader::parse_entry(file_name, text);
        fuzz::check(entry.text == text && entry.file_name == file_name, "text kept unchanged");
        fuzz::check(entry.machine_id == machine_id, "machine-id read alike by both readers");
        for (const std::string& path : entry.initrd) {
            bootloader::check_asset_path(path);
        }
        if (!entry.linux.empty())
            bootloader::check_asset_path(entry.linux);
        if (entry.devicetree)
            bootloader::check_asset_path(*entry.devicetree);
        (void)bootloader::is_owned_entry(entry);
        // A root= value names a device node by one name below its /dev/disk directory.
        if (const auto root = bootloader::root_parameter(entry.options)) {
            const auto link = system::root_device_link(*root);
            fuzz::check(!link || root->starts_with("/dev/") ||
                            link->parent_path().parent_path() == "/dev/disk",
                        "a root= name stays inside its /dev/disk directory");
        }
    } catch (const base::AppError&) {
    }
    return 0;
}
