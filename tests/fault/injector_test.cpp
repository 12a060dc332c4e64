// The fault injector that the fault campaign preloads: it counts only the calls of the process
// it was loaded into (and of that process after an exec), never those of its children, and
// fails or kills exactly at the chosen call.

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.hpp"
#include "support/run_program.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::testing {
namespace {

namespace fs = std::filesystem;

class Injector : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef SNAPWRIGHT_SANITIZED
        GTEST_SKIP() << "the injector is preloaded into uninstrumented programs, which the "
                        "sanitizer build of it cannot enter";
#endif
    }

    // Runs a shell script with the injector; `fault` adds SNAPWRIGHT_FAULT_AT and _MODE.
    ProgramResult shell(const std::string& script, const std::vector<std::string>& fault = {}) {
        std::vector<std::string> env = environment_with_path("/usr/bin:/bin");
        env.push_back(std::string("LD_PRELOAD=") + SNAPWRIGHT_FAULT_INJECTOR);
        env.push_back("SNAPWRIGHT_FAULT_LOG=" + (scratch_ / "log").string());
        env.insert(env.end(), fault.begin(), fault.end());
        return run_program("sh", {"sh", "-c", script}, {.environment = env});
    }

    // The log with the call names left out (the shell may open through open or open64).
    std::string log() const {
        if (!fs::exists(scratch_ / "log")) {
            return {};
        }
        std::istringstream lines(read_file(scratch_ / "log"));
        std::string text;
        for (std::string number, call, rest;
             lines >> number >> call && std::getline(lines, rest);) {
            text += number + (call == "FAULT" ? " FAULT" : "") + rest + "\n";
        }
        return text;
    }

    std::string in(const char* name) const {
        return (scratch_ / name).string();
    }

    ScratchDir scratch_;
};

TEST_F(Injector, CountsTheShellsOwnCallsAndNotItsChildrens) {
    const ProgramResult run =
        shell("echo a > " + in("own") + "; mkdir " + in("child") + "; touch " + in("touched"));
    ASSERT_EQ(run.exit_code, 0) << describe(run);
    EXPECT_EQ(log(), "1 " + in("own") + "\n2 " + in("own") + "\n");
    EXPECT_TRUE(fs::is_directory(scratch_ / "child"));
}

TEST_F(Injector, FailsTheChosenCallWithTheChosenError) {
    const ProgramResult run =
        shell("echo a > " + in("first") + "; echo b > " + in("second") + " || exit 3",
              {"SNAPWRIGHT_FAULT_AT=3", "SNAPWRIGHT_FAULT_MODE=ENOSPC"});
    EXPECT_EQ(run.exit_code, 3) << describe(run);
    EXPECT_EQ(read_file(scratch_ / "first"), "a\n");
    EXPECT_EQ(log(), "1 " + in("first") + "\n2 " + in("first") + "\n3 " + in("second") +
                         "\n3 FAULT ENOSPC\n");
}

TEST_F(Injector, KillsBeforeTheChosenCallAndCountsOnAcrossExec) {
    const ProgramResult run = shell("echo a > " + in("first") + "; exec sh -c 'echo b > " +
                                        in("second") + "; echo c > " + in("third") + "'",
                                    {"SNAPWRIGHT_FAULT_AT=5", "SNAPWRIGHT_FAULT_MODE=KILL"});
    EXPECT_EQ(run.exit_code, -1) << describe(run);
    EXPECT_EQ(read_file(scratch_ / "second"), "b\n");
    EXPECT_FALSE(fs::exists(scratch_ / "third"));
    EXPECT_TRUE(log().ends_with("5 " + in("third") + "\n5 FAULT KILL\n")) << log();
}

}  // namespace
}  // namespace snapwright::testing
