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
#include "bootloader/manifest_builders.hpp"
#include "bootloader/render.hpp"
#include "bootloader/temp_dir.hpp"

namespace snapwright::bootloader {
namespace {

using store::AssetKind;
using testing::TempDir;

bool bootctl_installed() {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
        if (::access((std::string(dir) + "/bootctl").c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

struct BootctlResult {
    int exit_code = -1;
    std::string output;
};

// bootctl insists that the ESP is the root of a filesystem; a bind mount of the directory onto
// itself, in a mount namespace of the child alone, makes it one.
BootctlResult run_bootctl_list(const fs::path& esp) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipe_fds[1], STDOUT_FILENO);
        ::dup2(pipe_fds[1], STDERR_FILENO);
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(esp.c_str(), esp.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            std::fprintf(stderr, "sandbox setup failed: %s\n", std::strerror(errno));
            ::_exit(125);
        }
        ::setenv("SYSTEMD_RELAX_ESP_CHECKS", "1", 1);
        const std::string esp_option = "--esp-path=" + esp.string();
        ::execlp("bootctl", "bootctl", esp_option.c_str(), "--no-variables", "list", nullptr);
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    BootctlResult result;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
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

    TempDir esp;
    testing::write_file(esp / "loader/entries" / entry.file_name, entry.text);
    const BootEntry parsed =
        parse_entry(entry.file_name, testing::read_file(esp / "loader/entries" / entry.file_name));
    EXPECT_TRUE(is_owned_entry(parsed));
    for (const char digit : {'a', 'b', 'c', 'd'}) {
        testing::write_file(esp / boot_asset_path(data_relative, testing::object(digit)).substr(1),
                            "x");
    }

    const BootctlResult result = run_bootctl_list(esp.path());
    if (result.exit_code == 125) {
        GTEST_SKIP() << "cannot set up a mount namespace: " << result.output;
    }
    ASSERT_EQ(result.exit_code, 0) << result.output;
    EXPECT_NE(result.output.find("title: " + parsed.title), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("id: " + entry.file_name), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("options: " + parsed.options), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("devicetree: " + *parsed.devicetree), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("No such file"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace snapwright::bootloader
