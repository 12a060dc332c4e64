#include "system/root_device.hpp"

#include <sys/sysmacros.h>

#include <gtest/gtest.h>

namespace snapwright::system {
namespace {

TEST(RootDeviceLink, NamesTheLinkUdevMakes) {
    struct Case {
        const char* value;
        std::optional<std::filesystem::path> expected;
    };
    const Case cases[] = {
        {"/dev/mapper/root", "/dev/mapper/root"},
        {"/dev/disk/by-uuid/ab", "/dev/disk/by-uuid/ab"},
        {"PARTUUID=0F2B-AA", "/dev/disk/by-partuuid/0f2b-aa"},
        {"LABEL=Arch root/x", "/dev/disk/by-label/Arch\\x20root\\x2fx"},
        {"LABEL=r\xC3\xA9s_1.0", "/dev/disk/by-label/r\xC3\xA9s_1.0"},
        {"PARTLABEL=EFI\\sys", "/dev/disk/by-partlabel/EFI\\x5csys"},
        {"LABEL=", std::nullopt},
        {"UUID=ab", std::nullopt},
        {"dev/sda2", std::nullopt},
        {"0801", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(root_device_link(c.value), c.expected) << c.value;
    }
}

TEST(RootMountSource, TakesTheLastMountAtRoot) {
    const std::string mountinfo =
        "22 1 0:21 / / rw,relatime shared:1 - btrfs /dev/sda2 rw,subvol=/@\n"
        "23 22 0:22 / /proc rw - proc proc rw\n"
        "24 22 0:23 / /home\\040x rw - btrfs /dev/sdb1 rw\n"
        "25 22 0:21 /@snap / ro master:3 shared:4 - btrfs /dev/mapper/my\\040root ro\n";
    EXPECT_EQ(root_mount_source(mountinfo), "/dev/mapper/my root");
    EXPECT_EQ(root_mount_source("23 22 0:22 / /proc rw - proc proc rw\n"), std::nullopt);
    EXPECT_EQ(root_mount_source("22 1 0:21 / / rw - btrfs\n"), std::nullopt);
}

TEST(ParseDeviceNumber, ReadsMajorColonMinor) {
    EXPECT_EQ(parse_device_number("259:3\n"), makedev(259, 3));
    EXPECT_EQ(parse_device_number("7:0"), makedev(7, 0));
    for (const char* text : {"", "\n", "7", "7:", ":0", "7:0x", "-1:2", "7:0\n\n", "a:b"}) {
        EXPECT_EQ(parse_device_number(text), std::nullopt) << text;
    }
}

TEST(NamesRootFilesystem, ComparesUuidIgnoringCaseAndNeverMatchesWhatDoesNotResolve) {
    EXPECT_TRUE(names_root_filesystem("UUID=AB-cd", "ab-CD"));
    EXPECT_FALSE(names_root_filesystem("UUID=ab-cd0", "ab-cd"));
    EXPECT_FALSE(names_root_filesystem("/dev/snapwright-test-missing", "ab-cd"));
    EXPECT_FALSE(names_root_filesystem("/dev/null", "ab-cd"));  // not a block device
    EXPECT_FALSE(names_root_filesystem("ZFS=pool/root", "ab-cd"));
}

}  // namespace
}  // namespace snapwright::system
