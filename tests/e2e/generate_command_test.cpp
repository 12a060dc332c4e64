// The generate and status commands on a real Btrfs machine.

#include <gtest/gtest.h>

#include <string>

#include "support/sandbox.hpp"

namespace snapwright::testing {
namespace {

#define SKIP_WITHOUT_SANDBOX()                                    \
    do {                                                          \
        if (auto reason = Sandbox::unavailable_reason()) {        \
            GTEST_SKIP() << "no end-to-end sandbox: " << *reason; \
        }                                                         \
    } while (false)

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

// Whatever the generation does, the run's top-level mount must be gone when the command ends,
// and the lock free for the next run.
TEST(GenerateCommand, FailedRunLeavesNoMountAndNoLockBehind) {
    SKIP_WITHOUT_SANDBOX();
    Sandbox sandbox;
    (void)sandbox.write_entry({});
    const std::string binary = sandbox.install_binary();
    for (int run = 0; run < 2; ++run) {
        const ProgramResult result = sandbox.run({binary, "generate"});
        EXPECT_EQ(result.exit_code, 1) << describe(result);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "snapwright: the generate run is not implemented yet\n");
    }
    const ProgramResult mounts = sandbox.run({"findmnt", "--raw", "--noheadings", "-o", "TARGET"});
    EXPECT_EQ(mounts.out.find("/run/snapwright"), std::string::npos) << mounts.out;
    const ProgramResult leftovers = sandbox.run({"ls", "-A", "/run/snapwright"});
    EXPECT_EQ(leftovers.out, "") << describe(leftovers);

    sandbox.write_config("PROVIDER=snapper\n");
    const ProgramResult snapper = sandbox.run({binary, "generate"});
    EXPECT_EQ(snapper.err, "snapwright: the Snapper provider is not implemented yet\n");
}

}  // namespace
}  // namespace snapwright::testing
