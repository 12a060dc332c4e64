#include "app/dispatcher.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_program.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::app {
namespace {

using testing::ProgramResult;
using testing::ScratchDir;

// A findmnt stand-in that reports a root filesystem of type `fstype`, whatever it is asked.
std::string fake_findmnt(const std::string& fstype) {
    // Only shell builtins: PATH holds nothing but the fake tools.
    return "#!/bin/sh\n"
           "printf '%s\\n' '{\"filesystems\": [{\"target\": \"/\", \"fsroot\": \"/\", "
           "\"uuid\": \"0b4c1f64-4d54-4f1b-9a43-2f6c4bd4a7e1\", \"label\": null, "
           "\"fstype\": \"" +
           fstype + "\"}]}'\n";
}

// Runs the real binary with only `tools` on PATH, so the machine's own root never matters.
class DispatcherBinary : public ::testing::Test {
  protected:
    void use_findmnt(const std::string& script) {
        tools_.write("findmnt", script, /*executable=*/true);
    }

    ProgramResult run(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), "snapwright");
        return testing::run_program(SNAPWRIGHT_BINARY, arguments,
                                    testing::environment_with_path(tools_.path().string()));
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
        const ProgramResult result = run(arguments);
        const std::string shown = ::testing::PrintToString(arguments);
        EXPECT_EQ(result.exit_code, 1) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.err, "snapwright: the root filesystem is not Btrfs\n") << shown;
    }
}

TEST_F(DispatcherBinary, ConfigurationErrorComesBeforeTheSystem) {
    use_findmnt(fake_findmnt("ext4"));
    const std::string config = files_.write("bad.conf", "# header\n\nlower=1\n").string();
    const ProgramResult result = run({"status", "--config", config});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "snapwright: invalid configuration key on line 3\n");

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

    const ProgramResult version = run({"-V", "--config", config});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, "0.1.2\n");
    EXPECT_EQ(version.err, "");
}

TEST_F(DispatcherBinary, BtrfsRootReachesTheCommand) {
    use_findmnt(fake_findmnt("btrfs"));
    const ProgramResult result = run({"status", "--config", (files_ / "missing.conf").string()});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "snapwright: snapwright status is not implemented yet\n");
}

}  // namespace
}  // namespace snapwright::app
