// systemd-boot's own reader (bootctl) must accept what render_entries writes.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "bootloader/boot_paths.hpp"
#include "bootloader/entry_parser.hpp"
#include "bootloader/render.hpp"
#include "support/files.hpp"
#include "support/manifest_builders.hpp"
#include "support/run_program.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::bootloader {
namespace {

using store::AssetKind;
using testing::ScratchDir;

bool bootctl_installed() {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
        if (::access((std::string(dir) + "/bootctl").c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// bootctl insists that the ESP is the root of a filesystem; a bind mount of the directory onto
// itself, in a mount namespace of the child alone, makes it one.
testing::ProgramResult run_bootctl_list(const fs::path& esp) {
    const auto bind_esp = [&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(esp.c_str(), esp.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return std::string("sandbox setup failed: ") + std::strerror(errno);
        }
        ::setenv("SYSTEMD_RELAX_ESP_CHECKS", "1", 1);
        return "";
    };
    return testing::run_program("bootctl",
                                {"bootctl", "--esp-path=" + esp.string(), "--no-variables", "list"},
                                {.prepare = bind_esp});
}

TEST(BootctlReader, ListsARenderedEntryWithAllItsFiles) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to bind-mount a directory as the ESP for bootctl";
    }
    if (!bootctl_installed()) {
        GTEST_SKIP() << "bootctl is not installed";
    }
    const fs::path data_relative = "snapwright/0123456789abcdef0123456789abcdef";
    auto boot = testing::profile(
        testing::asset('a', AssetKind::Kernel, 1),
        {testing::asset('b', AssetKind::Microcode, 1), testing::asset('c', AssetKind::Initramfs, 1),
         testing::asset('d', AssetKind::DeviceTree, 1)},
        "Arch Linux (6.9)");
    boot.options = {{"architecture", {"x64"}}};
    auto manifest = testing::snapshot("42", "2024-05-06T07:08:09Z", {boot});
    manifest.snapshot.description = "before upgrade";
    const GeneratedEntry entry = render_entries({manifest}, data_relative).at(0);

    ScratchDir esp;
    testing::write_file(esp / "loader/entries" / entry.file_name, entry.text);
    const BootEntry parsed =
        parse_entry(entry.file_name, testing::read_file(esp / "loader/entries" / entry.file_name));
    EXPECT_TRUE(is_owned_entry(parsed));
    for (const char digit : {'a', 'b', 'c', 'd'}) {
        testing::write_file(esp / boot_asset_path(data_relative, testing::object(digit)).substr(1),
                            "x");
    }

    const testing::ProgramResult listed = run_bootctl_list(esp.path());
    if (listed.exit_code == 125) {
        GTEST_SKIP() << "cannot set up a mount namespace: " << listed.err;
    }
    ASSERT_EQ(listed.exit_code, 0) << testing::describe(listed);
    const std::string output = listed.out + listed.err;
    EXPECT_NE(output.find("title: " + parsed.title), std::string::npos) << output;
    EXPECT_NE(output.find("id: " + entry.file_name), std::string::npos) << output;
    EXPECT_NE(output.find("options: " + parsed.options), std::string::npos) << output;
    EXPECT_NE(output.find("devicetree: " + *parsed.devicetree), std::string::npos) << output;
    EXPECT_EQ(output.find("No such file"), std::string::npos) << output;
}

}  // namespace
}  // namespace snapwright::bootloader
