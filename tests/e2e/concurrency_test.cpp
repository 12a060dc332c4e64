// Many snapwright processes at once on a sandbox machine: generate runs (some debounced), gc
// runs, a burst of Snapper plugin events and status and verify readers, started together. The
// writers serialise on the boot partition lock, the readers never crash, and the machine is
// consistent afterwards.

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/machine_fixture.hpp"

namespace snapwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPlugin = "/opt/snapwright-test/10-snapwright";
constexpr const char* kLockTimeout =
    "snapwright: timed out waiting for /run/lock/boot-partition.lock\n";
constexpr const char* kSkipped = "Skipped a superseded snapshot event\n";
constexpr int kRounds = 4;

enum class Role { Writer, Plugin, Reader };

struct Started {
    Role role;
    std::string what;
    RunningProgram program;
};

class Concurrency : public StandardMachineTest {
  protected:
    void start(std::vector<Started>& started, Role role, const std::vector<std::string>& argv,
               const std::vector<std::string>& env = {}) {
        std::string what;
        for (const std::string& word : argv) {
            what += (what.empty() ? "" : " ") + word;
        }
        started.push_back({role, what, machine().start(argv, env)});
    }

    void check(Started& process) {
        const ProgramResult result = process.program.wait();
        const std::string shown = process.what + ": " + describe(result);
        ASSERT_NE(result.exit_code, -1) << "crashed: " << shown;
        switch (process.role) {
            case Role::Writer:
                // Done, superseded by a later debounced run, or out of patience with the lock.
                if (result.exit_code == 0) {
                    EXPECT_EQ(result.err, "") << shown;
                    EXPECT_TRUE(result.out.starts_with("Archived ") || result.out == kSkipped ||
                                result.out.starts_with("Removed "))
                        << shown;
                } else {
                    EXPECT_EQ(result.err, kLockTimeout) << shown;
                }
                break;
            case Role::Plugin:
                // A create event waits for its generate, which may have timed out on the lock.
                if (result.exit_code != 0) {
                    EXPECT_NE(result.err.find("timed out waiting for"), std::string::npos) << shown;
                }
                break;
            case Role::Reader:
                // A reader may catch a writer half-way and report it, but only as a failure
                // with its one line.
                if (result.exit_code != 0) {
                    EXPECT_EQ(result.exit_code, 1) << shown;
                    EXPECT_NE(result.err.find("snapwright: "), std::string::npos) << shown;
                }
                break;
        }
    }
};

TEST_F(Concurrency, WritersSerialiseReadersSurviveAndTheEndIsClean) {
    machine().write_config("DEBOUNCE_MILLISECONDS=200\n");
    // The plugin's detached runs go through setsid, as systemd-run refuses here.
    write_file(machine().in_root("/opt/fake/systemd-run"), "#!/bin/sh\nexit 1\n", 0755);
    fs::create_symlink("snapwright", machine().in_root(kPlugin));
    const std::string path = "PATH=/opt/fake:/usr/sbin:/usr/bin:/sbin:/bin";
    (void)take_snapshots(2);
    int next_snapshot = 3;

    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round + 1));
        // Something to do in every round: a snapshot more, and one fewer from the second on.
        (void)take_snapshot(next_snapshot++);
        if (round > 0) {
            delete_snapshot(next_snapshot - 3);
        }

        std::vector<Started> started;
        for (int i = 0; i < 8; ++i) {
            start(started, Role::Writer,
                  i % 2 == 0 ? std::vector<std::string>{binary(), "generate"}
                             : std::vector<std::string>{binary(), "generate", "--debounce"});
            if (i % 4 == 0) {
                start(started, Role::Writer, {binary(), "gc"});
            }
            // Readers interleaved with the writers, so that they meet runs half-way.
            if (i < 6) {
                start(started, Role::Reader, {binary(), i % 2 == 0 ? "status" : "verify"});
            }
        }
        for (const char* event :
             {"delete-snapshot-post", "modify-snapshot-post", "create-snapshot-post",
              "delete-snapshot-post", "create-snapshot-pre", "delete-snapshot-post"}) {
            start(started, Role::Plugin, {kPlugin, event, "/", "7"}, {path});
        }
        for (Started& process : started) {
            check(process);
        }
        ASSERT_TRUE(detached_runs_ended(60s)) << "detached runs still going after a minute";

        const ProgramResult verify = snapwright({"verify"});
        EXPECT_EQ(verify.exit_code, 0) << describe(verify);
        EXPECT_TRUE(verify.out.ends_with("No integrity issues found\n")) << describe(verify);
        expect_nothing_held();
    }
}

}  // namespace
}  // namespace snapwright::testing
