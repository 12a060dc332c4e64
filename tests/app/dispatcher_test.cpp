#include "app/dispatcher.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <utility>

#include <string>
#include <vector>

#include "app/app_fixture.hpp"
#include "support/run_program.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::app {
namespace {

constexpr const char* kCustomConfigRefused =
    "a custom --config path may only be used for write commands when already root";

// What a command given a custom --config fails with: `message` for a read command or when the
// tests run as root, else the refusal of the custom path.
std::string expected_failure(const std::string& word, const std::string& message) {
    const bool write = word != "status" && word != "verify";
    return "snapwright: " + (write && ::geteuid() != 0 ? kCustomConfigRefused : message) + "\n";
}

using snapwright::testing::expect_failure;
using snapwright::testing::expect_success;
using snapwright::testing::ProgramResult;
using snapwright::testing::ScratchDir;
using testing::fake_findmnt;

// Runs the real binary with only `tools` on PATH, so the machine's own root never matters.
class DispatcherBinary : public ::testing::Test {
  protected:
    void use_findmnt(const std::string& script) {
        tools_.write("findmnt", script, /*executable=*/true);
    }

    ProgramResult run(std::vector<std::string> arguments,
                      std::optional<unsigned> user = std::nullopt) const {
        arguments.insert(arguments.begin(), "snapwright");
        return snapwright::testing::run_program(
            SNAPWRIGHT_BINARY, arguments,
            {.environment = snapwright::testing::environment_with_path(tools_.path().string()),
             .user = user});
    }

    // A configuration for a machine whose boot partition and archive live in `files_`.
    std::string local_config() {
        const std::string machine_id =
            files_.write("machine-id", std::string(testing::kMachineId) + "\n").string();
        std::filesystem::create_directories(files_ / "boot/loader/entries");
        return files_
            .write("local.conf", "MACHINE_ID_FILE=" + machine_id +
                                     "\nTARGET_OS_NAME=T\nBOOT_PATH=" + (files_ / "boot").string() +
                                     "\nARCHIVE_PATH=" + (files_ / "archive").string() + "\n")
            .string();
    }

    ScratchDir tools_;
    ScratchDir files_;
};

TEST_F(DispatcherBinary, EveryWorkingCommandRefusesANonBtrfsRoot) {
    use_findmnt(fake_findmnt("ext4"));
    const std::string config = files_.write("good.conf", "SNAPSHOT_LIMIT=3\n").string();
    const std::string missing = (files_ / "missing.conf").string();
    const std::vector<std::vector<std::string>> invocations = {
        {},
        {"generate", "--config", config},
        {"--debounce", "--config", missing},
        {"status", "--config", config},
        {"verify", "--config", config},
        {"gc", "--config", config},
        {"watch", "--config", config},
    };
    for (const auto& arguments : invocations) {
        const bool read_command =
            !arguments.empty() && (arguments[0] == "status" || arguments[0] == "verify");
        if (!read_command && ::geteuid() != 0) {
            continue;  // an ordinary user's write command elevates first
        }
        SCOPED_TRACE(::testing::PrintToString(arguments));
        expect_failure(run(arguments), "", "snapwright: the root filesystem is not Btrfs\n");
    }
}

TEST_F(DispatcherBinary, ConfigurationErrorComesBeforeTheSystem) {
    use_findmnt(fake_findmnt("ext4"));
    const std::string config = files_.write("bad.conf", "# header\n\nlower=1\n").string();
    expect_failure(run({"status", "--config", config}), "",
                   "snapwright: invalid configuration key on line 3\n");

    const ProgramResult link = run({"--config", files_.path().string(), "verify"});
    EXPECT_EQ(link.err,
              "snapwright: configuration is not a regular file: " + files_.path().string() + "\n");
}

TEST_F(DispatcherBinary, HelpAndVersionIgnoreConfigurationAndSystem) {
    use_findmnt("#!/bin/sh\nexit 1\n");
    const std::string config = files_.write("bad.conf", "lower=1\n").string();
    const ProgramResult help = run({"--config", config, "help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_TRUE(help.out.starts_with("snapwright 0.1.2\n"));

    expect_success(run({"-V", "--config", config}), "0.1.2\n");
}

// With a Btrfs root, every working command builds the run context before its body, so the
// boot partition's problems are reported by all of them alike.
TEST_F(DispatcherBinary, BtrfsRootReachesEntryDiscovery) {
    use_findmnt(fake_findmnt("btrfs"));
    const std::string machine_id =
        files_.write("machine-id", std::string(testing::kMachineId) + "\n");
    const auto config = [&](const std::string& name, const std::string& text) {
        return files_.write(name, "MACHINE_ID_FILE=" + machine_id + "\nTARGET_OS_NAME=T\n" + text)
            .string();
    };
    const std::string boot = (files_ / "boot").string();
    std::filesystem::create_directories(boot + "/loader/entries");
    std::filesystem::create_directory(files_ / "elsewhere");
    const std::string missing = (files_ / "missing").string();
    const std::string outside =
        config("outside.conf", "BOOT_PATH=" + boot +
                                   "\nENTRIES_DIRECTORY=" + (files_ / "elsewhere").string() + "\n");
    const std::string unavailable = config("unavailable.conf", "BOOT_PATH=" + missing + "\n");

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"status", "--config", outside},
         "systemd-boot entry directory " + (files_ / "elsewhere").string() +
             " is outside boot root " + boot},
        {{"verify", "--config", unavailable},
         "systemd-boot entry directory is unavailable: " + missing},
        {{"gc", "--config", unavailable},
         "systemd-boot entry directory is unavailable: " + missing},
        {{"watch", "--config", unavailable},
         "systemd-boot entry directory is unavailable: " + missing},
        {{"generate", "--config", unavailable},
         "systemd-boot entry directory is unavailable: " + missing},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        expect_failure(run(arguments), "", expected_failure(arguments[0], message));
    }
}

TEST_F(DispatcherBinary, NoBootPartitionFoundByProbing) {
    for (const char* probe :
         {"/boot/loader/entries", "/efi/loader/entries", "/boot/efi/loader/entries"}) {
        if (std::filesystem::exists(probe)) {
            GTEST_SKIP() << "this machine has " << probe << ", so probing succeeds";
        }
    }
    use_findmnt(fake_findmnt("btrfs"));
    expect_failure(run({"status", "--config", (files_ / "missing.conf").string()}), "",
                   "snapwright: cannot find systemd-boot Type #1 entries; set BOOT_PATH and "
                   "optionally ENTRIES_DIRECTORY\n");
}

TEST_F(DispatcherBinary, WatchStartsAfterTheContext) {
    use_findmnt(fake_findmnt("btrfs"));
    const std::string machine_id =
        files_.write("machine-id", std::string(testing::kMachineId) + "\n");
    std::filesystem::create_directories(files_ / "boot/loader/entries");
    const std::string missing = (files_ / "snapshots").string();
    const std::string config =
        files_
            .write("good.conf", "MACHINE_ID_FILE=" + machine_id + "\nTARGET_OS_NAME=T\nBOOT_PATH=" +
                                    (files_ / "boot").string() + "\nWATCH_PATHS=" + missing + "\n")
            .string();
    const ProgramResult result = run({"watch", "--config", config});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err,
              expected_failure("watch", "inspect WATCH_PATHS entry " + missing +
                                            ": No such file or directory (os error 2)"));
}

TEST_F(DispatcherBinary, VerifyOfAnEmptyArchiveFindsNothing) {
    use_findmnt(fake_findmnt("btrfs"));
    expect_success(run({"verify", "--config", local_config()}),
                   "Checked objects: 0\nNo integrity issues found\n");
}

TEST_F(DispatcherBinary, StatusOfAnEmptyArchiveCountsNothing) {
    use_findmnt(fake_findmnt("btrfs"));
    const ProgramResult result = run({"status", "--config", local_config()});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string id = testing::kMachineId;
    const std::string prefix = "Entry directory    : " + (files_ / "boot/loader/entries").string() +
                               "\nArchive root       : " + (files_ / "archive").string() + "/" +
                               id + "\nBoot data root      : " + (files_ / "boot").string() +
                               "/snapwright/" + id +
                               "\nArchived manifests : 0\n"
                               "Archive references : 0\n"
                               "Archive objects    : 0\n"
                               "Archive bytes      : 0\n"
                               "Deployed objects   : 0\n"
                               "Deployed bytes     : 0\n"
                               "Average kernel set : 0\n"
                               "Required boot reserve: 0\n"
                               "Boot free bytes     : ";
    ASSERT_TRUE(result.out.starts_with(prefix)) << result.out;
    const std::string free_bytes = result.out.substr(prefix.size());
    ASSERT_TRUE(free_bytes.ends_with("\n")) << result.out;
    EXPECT_NE(free_bytes, "0\n");
    EXPECT_EQ(free_bytes.find_first_not_of("0123456789"), free_bytes.size() - 1) << free_bytes;
    EXPECT_FALSE(std::filesystem::exists(files_ / "archive")) << "status must create nothing";
}

// Write commands of an ordinary user: only the default configuration may be handed to root,
// and the configuration is loaded before the privilege helper runs.
TEST_F(DispatcherBinary, OrdinaryUserWriteCommandsElevateOnlyWithTheDefaultConfiguration) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the binary as another user";
    }
    constexpr unsigned kNobody = 65534;
    use_findmnt(fake_findmnt("ext4"));
    tools_.write("sudo", "#!/bin/sh\necho \"sudo $*\"\n", /*executable=*/true);
    std::filesystem::permissions(tools_.path(), std::filesystem::perms::all &
                                                    ~std::filesystem::perms::group_write &
                                                    ~std::filesystem::perms::others_write);
    std::filesystem::permissions(files_.path(), std::filesystem::perms::owner_all |
                                                    std::filesystem::perms::group_exec |
                                                    std::filesystem::perms::others_exec);
    const std::string readable = files_.write("readable.conf", "SNAPSHOT_LIMIT=2\n").string();
    // Opening this one would fail differently: it is a directory.
    std::filesystem::create_directory(files_ / "dir.conf");
    const std::string refused = std::string("snapwright: ") + kCustomConfigRefused + "\n";

    for (const char* word : {"generate", "gc", "watch"}) {
        SCOPED_TRACE(word);
        expect_failure(run({word, "--config", (files_ / "dir.conf").string()}, kNobody), "",
                       refused);
    }
    const ProgramResult debounced = run({"--config", readable, "--debounce"}, kNobody);
    EXPECT_EQ(debounced.err, refused);

    // Read commands keep the caller's identity, custom configuration or not.
    for (const char* word : {"status", "verify"}) {
        const ProgramResult result = run({word, "--config", readable}, kNobody);
        EXPECT_EQ(result.out, "") << word;
        EXPECT_EQ(result.err, "snapwright: the root filesystem is not Btrfs\n") << word;
    }

    if (std::filesystem::exists("/etc/snapwright.conf")) {
        GTEST_SKIP() << "/etc/snapwright.conf exists here; the elevation cases need the defaults";
    }
    const std::string self = std::filesystem::canonical(SNAPWRIGHT_BINARY).string();
    expect_success(run({"gc", "--config", "//etc//snapwright.conf"}, kNobody),
                   "sudo " + self + " gc --config //etc//snapwright.conf\n");
    const ProgramResult plain = run({}, kNobody);
    EXPECT_EQ(plain.out, "sudo " + self + "\n");
}

}  // namespace
}  // namespace snapwright::app
