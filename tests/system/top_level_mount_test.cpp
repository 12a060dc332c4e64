#include "system/top_level_mount.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "base/text_file.hpp"
#include "support/child_process.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::system {
namespace {

namespace fs = std::filesystem;
using testing::error_of;
using testing::ScratchDir;
using testing::write_file;
using testing::write_script;

constexpr const char* kMachineId = "0123456789abcdef0123456789abcdef";

TEST(TopLevelMountValidation, RejectsBadIdentifiersBeforeTouchingAnything) {
    EXPECT_TRUE(is_valid_filesystem_uuid("1a2B-3c.d_e"));
    EXPECT_TRUE(is_valid_filesystem_uuid(std::string(128, 'a')));
    for (const std::string& bad :
         std::vector<std::string>{"", std::string(129, 'a'), "a/b", "a b", "a,ro", "\xc3\xa9"}) {
        EXPECT_FALSE(is_valid_filesystem_uuid(bad)) << bad;
        EXPECT_EQ(error_of([&] { (void)mount_top_level(bad, kMachineId); }),
                  "invalid Btrfs filesystem UUID");
    }
    for (const char* bad : {"0123456789abcdef0123456789abcde", "0123456789abcdef0123456789abcdeg",
                            "../../../../etc/0123456789abcdef0"}) {
        EXPECT_EQ(error_of([&] { (void)mount_top_level("uuid", bad); }),
                  "invalid machine-id for Btrfs mount");
    }
}

// Runs `body` in a child that has its own mount namespace with a fresh tmpfs on /run and the
// fake tools of `tools` first on PATH, so nothing of the host's /run is touched. Returns what
// the body reported.
std::string in_sandboxed_child(const ScratchDir& tools, const std::function<std::string()>& body) {
    return testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
            return std::string("sandbox setup failed");
        }
        ::setenv("PATH", (tools.path().string() + ":/usr/bin:/bin").c_str(), 1);
        return body();
    });
}

class TopLevelMountTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root: mounts a tmpfs on /run in a private mount namespace";
        }
        write_script(tools.path(), "umount", "echo \"umount $*\" >> '" + log().string() + "'");
    }
    fs::path log() const { return tools / "calls"; }
    std::string calls() const { return fs::exists(log()) ? base::read_text_file(log()) : ""; }
    std::string mount_point() const {
        return std::string("/run/snapwright/top-level-") + kMachineId + "-";
    }

    ScratchDir tools;
};

TEST_F(TopLevelMountTest, MountsReadOnlyAndReleasesInOrder) {
    write_script(tools.path(), "mount", "echo \"mount $*\" >> '" + log().string() + "'");
    const std::string result = in_sandboxed_child(tools, [&] {
        std::string seen;
        {
            TopLevelMount mount = mount_top_level("UUID-1", kMachineId);
            const std::string expected = mount_point() + std::to_string(::getpid());
            seen += mount.mount_point() == expected ? "path ok;"
                                                    : "path " + mount.mount_point().string();
            seen += fs::is_directory(expected) ? "dir;" : "no dir;";
            release_top_level(std::move(mount));
            seen += fs::exists(expected) ? "dir left;" : "dir removed;";
        }
        return seen + (fs::is_directory("/run/snapwright") ? "runtime kept" : "runtime gone");
    });
    EXPECT_EQ(result, "path ok;dir;dir removed;runtime kept");
    const std::string logged = calls();
    EXPECT_EQ(logged.rfind("mount -t btrfs -o ro,subvolid=5 UUID=UUID-1 " + mount_point(), 0), 0u)
        << logged;
    EXPECT_NE(logged.find("\numount " + mount_point()), std::string::npos) << logged;
}

TEST_F(TopLevelMountTest, FailedMountRemovesTheMountPoint) {
    write_script(tools.path(), "mount", "echo ' mount: wrong fs type ' >&2; exit 32");
    const std::string result = in_sandboxed_child(tools, [&] {
        const std::string message = error_of([] { (void)mount_top_level("U", kMachineId); });
        return message + (fs::is_empty("/run/snapwright") ? ";clean" : ";left behind");
    });
    EXPECT_EQ(result, "mount Btrfs top-level subvolume failed: mount: wrong fs type;clean");
    EXPECT_EQ(calls(), "");
}

TEST_F(TopLevelMountTest, MissingMountToolLeavesTheEmptyMountPoint) {
    const std::string result = in_sandboxed_child(tools, [&] {
        ::setenv("PATH", tools.path().c_str(), 1);
        const std::string message = error_of([] { (void)mount_top_level("U", kMachineId); });
        return message + (fs::is_empty("/run/snapwright") ? ";clean" : ";mount point kept");
    });
    EXPECT_EQ(result, "execute mount: No such file or directory (os error 2);mount point kept");
}

TEST_F(TopLevelMountTest, RuntimeDirectoryLinkIsRefusedAndNothingMounted) {
    write_script(tools.path(), "mount", "echo \"mount $*\" >> '" + log().string() + "'");
    const std::string result = in_sandboxed_child(tools, [&] {
        fs::create_directory("/run/elsewhere");
        fs::create_directory_symlink("/run/elsewhere", "/run/snapwright");
        const std::string message = error_of([] { (void)mount_top_level("U", kMachineId); });
        return message + (fs::is_empty("/run/elsewhere") ? ";clean" : ";followed the link");
    });
    EXPECT_EQ(result, "refusing to traverse non-directory path /run/snapwright;clean");
    EXPECT_EQ(calls(), "");
}

}  // namespace
}  // namespace snapwright::system
