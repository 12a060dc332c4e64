#include <string>

#include "base/app_error.hpp"
#include "fuzz_check.hpp"
#include "system/mount_table.hpp"

using namespace snapwright;

// Every derivation from the table must either answer or fail with AppError.
template <typename Derive>
void derive(Derive derivation) {
    try {
        (void)derivation();
    } catch (const base::AppError&) {
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    system::MountTable table;
    try {
        table = system::parse_findmnt_json(fuzz::as_text(data, size));
    } catch (const base::AppError&) {
        return 0;
    }
    derive([&] { return system::root_filesystem_type(table); });
    derive([&] { return system::root_mount_point(table); });
    derive([&] { return system::root_filesystem_uuid(table); });
    derive([&] { return system::mount_point_containing(table, "/boot/efi/loader/entries"); });
    for (const system::MountRow& row : table) {
        // Every mounted target contains itself, so the answer is some row's target.
        derive([&] {
            const std::string found = system::mount_point_containing(table, row.target);
            bool listed = false;
            for (const system::MountRow& other : table) {
                listed = listed || other.target == found;
            }
            fuzz::check(listed, "the containing mount is a listed target");
            return found;
        });
    }
    return 0;
}
