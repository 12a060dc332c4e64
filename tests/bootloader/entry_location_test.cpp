#include "bootloader/entry_location.hpp"

#include <gtest/gtest.h>

#include "support/error_of.hpp"

namespace snapwright::bootloader {
namespace {

system::MountRow mount(const std::string& target) {
    return system::MountRow{target, "/", {}, {}, {}};
}

TEST(LocateEntryDirectory, UsesBootPathAndEntriesDirectoryAsWritten) {
    config::Config config;
    config.boot_path = "/boot";
    EXPECT_EQ(locate_entry_directory(config, {}), (EntryLocation{"/boot", "/boot/loader/entries"}));
    config.entries_directory = "/efi/loader/entries";
    const EntryLocation location = locate_entry_directory(config, {});
    EXPECT_EQ(location, (EntryLocation{"/boot", "/efi/loader/entries"}));
    // Whichever comes first on this machine: the missing boot root or the containment.
    const std::string message = testing::error_of([&] { check_entry_location(location); });
    EXPECT_TRUE(message ==
                    "systemd-boot entry directory /efi/loader/entries is outside boot root /boot" ||
                message == "systemd-boot entry directory is unavailable: /boot")
        << message;
}

TEST(LocateEntryDirectory, TakesTheBootRootFromTheMountTableForEntriesDirectoryAlone) {
    config::Config config;
    config.entries_directory = "/efi/loader/entries";
    const system::MountTable mounts = {mount("/"), mount("/efi"), mount("/efi/loader/x")};
    EXPECT_EQ(locate_entry_directory(config, mounts),
              (EntryLocation{"/efi", "/efi/loader/entries"}));
    EXPECT_EQ(testing::error_of([&] { (void)locate_entry_directory(config, {}); }),
              "no mounted filesystem contains /efi/loader/entries");
}

}  // namespace
}  // namespace snapwright::bootloader
