#include "bootloader/booted_subvolume.hpp"

#include <gtest/gtest.h>

namespace snapwright::bootloader {
namespace {

TEST(BootedSubvolume, IsTheLastSubvolOfTheLastRootflags) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"root=UUID=u rootflags=subvol=/@/.snapshots/1/snapshot rw", "/@/.snapshots/1/snapshot"},
        {"rootflags=compress=zstd,subvol=@,noatime", "@"},
        {"rootflags=subvol=/a,subvol=/b", "/b"},
        {"rootflags=subvol=/a rootflags=compress=zstd", std::nullopt},
        {"rootflags=subvol=/a rootflags=subvol=/b", "/b"},
        {"rootflags=subvolid=256 quiet", std::nullopt},
        {"root=UUID=u subvol=/a", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [options, subvolume] : cases) {
        EXPECT_EQ(booted_subvolume(options), subvolume) << options;
    }
}

TEST(BootedSubvolume, PathFromTheTopLevelIsWhatTheKernelWalks) {
    const std::pair<const char*, const char*> cases[] = {
        {"/@/.snapshots/1/snapshot", "@/.snapshots/1/snapshot"},
        {"@//.snapshots/./1/snapshot/", "@/.snapshots/1/snapshot"},
        {"/@/x/../.snapshots", "@/.snapshots"},
        {"/../@", "@"},
        {"/", ""},
        {"", ""},
    };
    for (const auto& [value, path] : cases) {
        EXPECT_EQ(subvolume_path_from_top_level(value), path) << value;
    }
}

}  // namespace
}  // namespace snapwright::bootloader
