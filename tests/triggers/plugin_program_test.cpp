// The real executable started under its plugin name, with stand-ins for systemd-run and setsid
// that only record how they were called (so nothing is ever generated on the test machine).

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/files.hpp"
#include "support/run_program.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::testing {
namespace {

namespace fs = std::filesystem;

class PluginProgram : public ::testing::Test {
  protected:
    PluginProgram() { fs::create_directory(scratch_ / "bin"); }

    // A stand-in that appends its arguments as one line to <name>.calls and exits `status`.
    void fake(const std::string& name, int status) {
        (void)scratch_.write("bin/" + name,
                             "#!/bin/sh\necho \"$*\" >> " +
                                 (scratch_ / (name + ".calls")).string() + "\nexit " +
                                 std::to_string(status) + "\n",
                             true);
    }
    std::string calls(const std::string& name) const {
        return read_file_or_empty(scratch_ / (name + ".calls"));
    }
    ProgramResult plugin(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{"/usr/lib/snapper/plugins/10-snapwright"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return run_program(SNAPWRIGHT_BINARY, argv,
                           {.environment = environment_with_path((scratch_ / "bin").string())});
    }

    ScratchDir scratch_;
};

TEST_F(PluginProgram, DeletionStartsOneTransientUnitAndFallsBackToSetsid) {
    fake("systemd-run", 0);
    fake("setsid", 0);
    const ProgramResult done = plugin({"delete-snapshot-post", "/", "btrfs", "12"});
    ASSERT_EQ(done.exit_code, 0) << done.err;
    EXPECT_EQ(done.out + done.err, "");
    const std::string binary = fs::canonical(SNAPWRIGHT_BINARY).string();
    const std::string unit_prefix = "--quiet --collect --unit=snapwright-snapshot-";
    const std::string line = calls("systemd-run");
    ASSERT_TRUE(line.starts_with(unit_prefix)) << line;
    EXPECT_TRUE(line.ends_with("-0 " + binary + " generate --debounce\n")) << line;
    EXPECT_EQ(calls("setsid"), "");

    fake("systemd-run", 1);
    const ProgramResult fallback = plugin({"modify-snapshot-post", "/", "btrfs", "12"});
    ASSERT_EQ(fallback.exit_code, 0) << fallback.err;
    // setsid is not waited for.
    for (int wait = 0; wait < 250 && calls("setsid").empty(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(calls("setsid"), binary + " generate --debounce\n");
}

// Older Snapper releases pass only these names; they must not be taken for the newer ones.
TEST_F(PluginProgram, LegacyEventNamesStartNothing) {
    fake("systemd-run", 0);
    fake("setsid", 0);
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"create-snapshot", "/", "btrfs", "12"},
                                               {"delete-snapshot", "/", "btrfs", "12"},
                                               {"modify-snapshot", "/", "btrfs", "12"},
                                               {"create-snapshot-pre", "/", "btrfs", "12"},
                                               {"delete-snapshot-post", "/home", "btrfs", "3"},
                                               {"delete-snapshot-post"},
                                               {}}) {
        const ProgramResult result = plugin(arguments);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.out + result.err, "");
    }
    EXPECT_EQ(calls("systemd-run") + calls("setsid"), "");
}

}  // namespace
}  // namespace snapwright::testing
