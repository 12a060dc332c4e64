#include "app/context_builder.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/app_fixture.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::app {
namespace {

namespace fs = std::filesystem;
using snapwright::testing::ScratchDir;
using testing::fake_findmnt;
using testing::kMachineId;

std::string error_of(const fs::path& config_path) {
    return testing::error_of([&] { (void)build_run_context(config_path); });
}

std::set<fs::path> tree_of(const fs::path& root) {
    std::set<fs::path> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        paths.insert(entry.path());
    }
    return paths;
}

// A machine with a fake findmnt first on PATH, a boot partition with an entry directory and a
// machine-id file, all inside one scratch directory.
class RunContextTest : public ::testing::Test {
  protected:
    RunContextTest() : path_(tools_.path()) {
        fs::create_directories(boot() / "loader/entries");
        files_.write("machine-id", std::string("4F2D9B0C3E1A4B7D8C6E5F0A1B2C3D4E") + "\n");
    }

    void use_root(const std::string& fstype, bool with_uuid = true) {
        tools_.write("findmnt", fake_findmnt(fstype, with_uuid), /*executable=*/true);
    }

    fs::path boot() const { return files_ / "boot"; }
    fs::path machine_id_file() const { return files_ / "machine-id"; }

    // BOOT_PATH, MACHINE_ID_FILE, TARGET_OS_NAME and ARCHIVE_PATH for this machine, then `extra`.
    fs::path config(const std::string& extra = "") const {
        return files_.write(
            "snapwright.conf",
            "BOOT_PATH=" + boot().string() + "\nMACHINE_ID_FILE=" + machine_id_file().string() +
                "\nTARGET_OS_NAME=Target OS\nARCHIVE_PATH=" + (files_ / "archive").string() + "\n" +
                extra);
    }

    ScratchDir tools_;
    ScratchDir files_;
    snapwright::testing::FakeToolPath path_;
};

TEST_F(RunContextTest, BuildsEveryField) {
    use_root("btrfs");
    const generation::RunContext context = build_run_context(config("DATA_DIRECTORY=A/B\n"));
    EXPECT_EQ(context.boot_root, boot());
    EXPECT_EQ(context.entry_directory, boot() / "loader/entries");
    EXPECT_EQ(context.machine_id, kMachineId);
    EXPECT_EQ(context.boot_data_relative, fs::path("A/B") / kMachineId);
    EXPECT_EQ(context.boot_data_root, boot() / "A/B" / kMachineId);
    EXPECT_EQ(context.archive_root, files_ / "archive" / kMachineId);
    EXPECT_EQ(context.os_name, "Target OS");
    EXPECT_EQ(context.root_filesystem_uuid, testing::kRootUuid);
    ASSERT_EQ(context.filesystems.size(), 1U);
    EXPECT_EQ(context.filesystems[0].fsroot, "/@");
    EXPECT_EQ(context.config.data_directory, "A/B");
}

TEST_F(RunContextTest, DefaultDataDirectoryIsNamespacedByMachine) {
    use_root("btrfs");
    const generation::RunContext context = build_run_context(config());
    EXPECT_EQ(context.boot_data_relative, fs::path("snapwright") / kMachineId);
    EXPECT_EQ(context.boot_data_root, boot() / "snapwright" / kMachineId);
}

TEST_F(RunContextTest, BuildingTwiceGivesEqualContextsAndCreatesNothing) {
    use_root("btrfs");
    const fs::path config_path = config();
    const std::set<fs::path> before = tree_of(files_.path());
    const generation::RunContext first = build_run_context(config_path);
    const generation::RunContext second = build_run_context(config_path);
    EXPECT_EQ(first, second);
    EXPECT_EQ(tree_of(files_.path()), before);
}

// Each case breaks one step and everything after it; the earliest broken step must decide the
// message.
TEST_F(RunContextTest, FirstFailingStepDecidesTheMessage) {
    use_root("ext4");
    files_.write("broken.conf", "BOOT_PATH=" + (files_ / "nowhere").string() +
                                    "\nMACHINE_ID_FILE=" + (files_ / "no-id").string() + "\n");
    EXPECT_EQ(error_of(files_ / "broken.conf"), "the root filesystem is not Btrfs");

    use_root("BTRFS");
    EXPECT_EQ(error_of(config()), "the root filesystem is not Btrfs");

    use_root("btrfs", /*with_uuid=*/false);
    EXPECT_EQ(error_of(files_ / "broken.conf"),
              "read " + (files_ / "no-id").string() + ": No such file or directory (os error 2)");

    const fs::path missing_boot =
        files_.write("missing-boot.conf", "BOOT_PATH=" + (files_ / "nowhere").string() +
                                              "\nMACHINE_ID_FILE=" + machine_id_file().string() +
                                              "\nTARGET_OS_NAME=X\n");
    EXPECT_EQ(error_of(missing_boot),
              "systemd-boot entry directory is unavailable: " + (files_ / "nowhere").string());

    const fs::path outside = config("ENTRIES_DIRECTORY=" + (files_ / "entries").string() + "\n");
    fs::create_directory(files_ / "entries");
    EXPECT_EQ(error_of(outside), "systemd-boot entry directory " + (files_ / "entries").string() +
                                     " is outside boot root " + boot().string());

    EXPECT_EQ(error_of(config()), "cannot determine the root Btrfs filesystem UUID");

    files_.write("bad.conf", "SNAPSHOT_LIMIT=many\n");
    use_root("ext4");
    EXPECT_EQ(error_of(files_ / "bad.conf"), "SNAPSHOT_LIMIT must be a non-negative integer");
}

TEST_F(RunContextTest, EntryDirectoryMustBeARealDirectory) {
    use_root("btrfs");
    fs::create_directory(files_ / "real-entries");
    fs::remove(boot() / "loader/entries");
    fs::create_directory_symlink(files_ / "real-entries", boot() / "loader/entries");
    EXPECT_EQ(error_of(config()), "systemd-boot entry directory is unavailable: " +
                                      (boot() / "loader/entries").string());
}

TEST(StoreSeparation, RefusesAnArchiveAndBootDataDirectoryThatOverlap) {
    const auto message = [](const std::string& archive, const std::string& boot_data) {
        return testing::error_of([&] { check_store_separation(archive, boot_data); });
    };
    const std::string m = kMachineId;
    // BOOT_PATH=/ with ARCHIVE_PATH=/snapwright; the boot root on the Btrfs root with the archive
    // in its data directory; one store inside the other either way.
    for (const auto& [archive, boot_data] : std::vector<std::pair<std::string, std::string>>{
             {"/snapwright/" + m, "/snapwright/" + m},
             {"/boot/snapwright/" + m, "/boot//snapwright/./" + m},
             {"/boot/snapwright/" + m + "/x/" + m, "/boot/snapwright/" + m},
             {"/var/lib/" + m, "/var/lib/" + m + "/snapwright/" + m}}) {
        EXPECT_EQ(message(archive, boot_data),
                  "the archive " + archive + " and the boot data directory " + boot_data +
                      " overlap; set ARCHIVE_PATH, BOOT_PATH or DATA_DIRECTORY so that neither "
                      "lies inside the other");
    }
    EXPECT_NO_THROW(check_store_separation("/var/lib/snapwright/" + m, "/boot/snapwright/" + m));
    EXPECT_NO_THROW(
        check_store_separation("/boot/snapwright-archive/" + m, "/boot/snapwright/" + m));

    ScratchDir dir;
    fs::create_directories(dir / "real/snapwright");
    fs::create_directory_symlink(dir / "real", dir / "link");
    EXPECT_NE(
        message((dir / "link/snapwright" / m).string(), (dir / "real/snapwright" / m).string()),
        "");
}

TEST_F(RunContextTest, ArchiveInsideTheBootDataDirectoryIsRefused) {
    use_root("btrfs");
    const fs::path config_path = config("ARCHIVE_PATH=" + (boot() / "snapwright").string() + "\n");
    const std::set<fs::path> before = tree_of(files_.path());
    const fs::path store = boot() / "snapwright" / kMachineId;
    EXPECT_EQ(error_of(config_path),
              "the archive " + store.string() + " and the boot data directory " + store.string() +
                  " overlap; set ARCHIVE_PATH, BOOT_PATH or DATA_DIRECTORY so that neither lies "
                  "inside the other");
    EXPECT_EQ(tree_of(files_.path()), before);
}

// "/etc/os-release" is a fixed path, so it is replaced inside a private mount namespace of a
// child process by a file without a name.
TEST_F(RunContextTest, TargetOsNameMeansOsReleaseIsNeverRead) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to replace /etc/os-release in a private mount namespace";
    }
    if (!fs::exists("/etc/os-release")) {
        GTEST_SKIP() << "this machine has no /etc/os-release to cover";
    }
    use_root("btrfs");
    const fs::path nameless = files_.write("os-release", "ID=nameless\n");
    const fs::path with_target = config();
    const fs::path without_target =
        files_.write("plain.conf", "BOOT_PATH=" + boot().string() +
                                       "\nMACHINE_ID_FILE=" + machine_id_file().string() + "\n");
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(nameless.c_str(), "/etc/os-release", nullptr, MS_BIND, nullptr) != 0) {
                std::cerr << "cannot cover /etc/os-release";
                std::_Exit(2);
            }
            std::cerr << "without: " << error_of(without_target) << "\n";
            std::cerr << "with: " << build_run_context(with_target).os_name << "\n";
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0),
        "without: /etc/os-release has no NAME or PRETTY_NAME\nwith: Target OS\n");
}

}  // namespace
}  // namespace snapwright::app
