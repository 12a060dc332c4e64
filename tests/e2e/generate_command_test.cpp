// The generate and status commands on a real Btrfs machine.

#include <gtest/gtest.h>

#include <string>

#include "support/sandbox.hpp"

namespace snapwright::testing {
namespace {

TEST(StatusCommand, ReportsTheRunsPlacesOnAFreshMachine) {
    SKIP_WITHOUT_SANDBOX();
    Sandbox sandbox;
    (void)sandbox.write_entry({});
    const std::string binary = sandbox.install_binary();
    const ProgramResult result = sandbox.run({binary, "status"});
    ASSERT_EQ(result.exit_code, 0) << describe(result);
    const std::string id = sandbox.machine_id();
    EXPECT_TRUE(result.out.starts_with(
        "Entry directory    : /boot/loader/entries\n"
        "Archive root       : /var/lib/snapwright/" +
        id + "\nBoot data root      : /boot/snapwright/" + id + "\nArchived manifests : 0\n"))
        << result.out;
}

constexpr const char* kNothingDone =
    "Archived 0 snapshot manifests (created 0, updated 0, removed 0); deployed 0 snapshots using "
    "0 kernel set(s), 0 objects and 0 bytes; average kernel/initramfs set 0 bytes, reserved free "
    "space 0 bytes; archive GC removed 0 objects (0 bytes); boot GC removed 0 objects (0 bytes); "
    "systemd-boot snapshot entries unchanged\n";

// The run's top-level mount must be gone when the command ends, whatever the outcome.
void expect_no_top_level_mount(const Sandbox& sandbox) {
    const ProgramResult mounts = sandbox.run({"findmnt", "--raw", "--noheadings", "-o", "TARGET"});
    EXPECT_EQ(mounts.out.find("/run/snapwright"), std::string::npos) << mounts.out;
    const ProgramResult leftovers = sandbox.run({"ls", "-A", "/run/snapwright"});
    EXPECT_EQ(leftovers.out, "") << describe(leftovers);
}

TEST(GenerateCommand, PrintsOneSummaryLineAndReleasesTheMount) {
    SKIP_WITHOUT_SANDBOX();
    Sandbox sandbox;
    (void)sandbox.write_entry({});
    const std::string binary = sandbox.install_binary();
    for (int run = 0; run < 2; ++run) {
        const ProgramResult result = sandbox.run({binary, "generate"});
        ASSERT_EQ(result.exit_code, 0) << describe(result);
        EXPECT_EQ(result.out, kNothingDone);
        EXPECT_EQ(result.err, "");
    }
    expect_no_top_level_mount(sandbox);

    (void)sandbox.create_snapshot(".snapshots/1/snapshot");
    const ProgramResult first = sandbox.run({binary, "--debounce"});
    ASSERT_EQ(first.exit_code, 0) << describe(first);
    EXPECT_TRUE(
        first.out.starts_with("Archived 1 snapshot manifests (created 1, updated 0, "
                              "removed 0); deployed 1 snapshots using 1 kernel set(s), "))
        << first.out;
    EXPECT_TRUE(first.out.ends_with("; systemd-boot snapshot entries updated\n")) << first.out;
    EXPECT_EQ(first.out.find('\n'), first.out.size() - 1) << first.out;
    expect_no_top_level_mount(sandbox);

    const ProgramResult again = sandbox.run({binary, "generate"});
    ASSERT_EQ(again.exit_code, 0) << describe(again);
    EXPECT_TRUE(again.out.ends_with("; systemd-boot snapshot entries unchanged\n")) << again.out;
    const ProgramResult status = sandbox.run({binary, "status"});
    EXPECT_NE(status.out.find("\nArchived manifests : 1\n"), std::string::npos) << status.out;
}

TEST(GenerateCommand, FailedRunLeavesNoMountBehind) {
    SKIP_WITHOUT_SANDBOX();
    Sandbox sandbox;
    (void)sandbox.write_entry({});
    const std::string binary = sandbox.install_binary();
    // An archive path that cannot become a subvolume fails the run after the mount was made.
    sandbox.write_config("ARCHIVE_PATH=/etc/os-release\n");
    const ProgramResult failed = sandbox.run({binary, "generate"});
    EXPECT_EQ(failed.exit_code, 1) << describe(failed);
    EXPECT_EQ(failed.out, "");
    EXPECT_TRUE(failed.err.starts_with("snapwright: ")) << failed.err;
    expect_no_top_level_mount(sandbox);

    sandbox.write_config("PROVIDER=snapper\n");
    const ProgramResult snapper = sandbox.run({binary, "generate"});
    EXPECT_EQ(snapper.err, "snapwright: the Snapper provider is not implemented yet\n");
    expect_no_top_level_mount(sandbox);
}

}  // namespace
}  // namespace snapwright::testing
