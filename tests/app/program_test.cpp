#include "app/program.hpp"

#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::app {
namespace {

using testing::expect_failure;
using testing::expect_success;
using testing::run_program;
using testing::ScratchDir;

const std::string kBinary = SNAPWRIGHT_BINARY;

const std::string kHelp =
    "snapwright 0.1.2\n"
    "\n"
    "Generate systemd-boot entries for Btrfs snapshots.\n"
    "\n"
    "Usage:\n"
    "snapwright generate [--debounce]\n"
    "snapwright status\n"
    "snapwright verify\n"
    "snapwright gc\n"
    "snapwright watch\n"
    "\n"
    "Global options:\n"
    "--config PATH   Configuration file\n"
    "--help          Show this help\n"
    "--version       Show the version\n";

TEST(PluginInvocation, SelectedOnlyByExactFinalComponent) {
    const std::vector<std::string> plugin = {
        "10-snapwright",           "/usr/lib/snapper/plugins/10-snapwright",
        "./10-snapwright",         "plugins//10-snapwright/",
        "plugins/10-snapwright/.", "plugins/10-snapwright/./",
    };
    for (const std::string& name : plugin) {
        EXPECT_TRUE(is_plugin_invocation(name)) << name;
    }
    const std::vector<std::string> command_line = {
        "",
        "/",
        "//",
        "snapwright",
        "/usr/bin/snapwright",
        "10-snapwright.bak",
        "10-Snapwright",
        "x10-snapwright",
        "10-snapwright ",
        "10-snapwright/..",
        "/10-snapwright/x",
        "10-snapwright\xff",
    };
    for (const std::string& name : command_line) {
        EXPECT_FALSE(is_plugin_invocation(name)) << name;
    }
}

// The real binary, started with a chosen argv[0] and PATH.
testing::ProgramResult run_binary(const std::vector<std::string>& arguments,
                                  const std::string& path = "/usr/bin:/bin") {
    std::vector<std::string> argv{"snapwright"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_program(kBinary, argv, {.environment = testing::environment_with_path(path)});
}

TEST(EntryBinary, HelpAndVersionNeedNothing) {
    ScratchDir dir;
    const std::string missing = (dir / "missing.conf").string();
    const std::vector<std::vector<std::string>> help_forms = {
        {"--help"}, {"-h"}, {"help"}, {"--config", missing, "--help"}};
    for (const auto& arguments : help_forms) {
        SCOPED_TRACE(arguments.front());
        // An empty PATH proves no external tool is consulted.
        expect_success(run_binary(arguments, ""), kHelp);
    }
    const std::vector<std::vector<std::string>> version_forms = {
        {"--version"}, {"-V"}, {"version"}, {"--config", missing, "version"}};
    for (const auto& arguments : version_forms) {
        SCOPED_TRACE(arguments.front());
        expect_success(run_binary(arguments, ""), "0.1.2\n");
    }
}

TEST(EntryBinary, CommandLineErrorIsOneLineOnStandardError) {
    expect_failure(run_binary({"status", "--help"}), "",
                   "snapwright: invalid command or arguments\n");
    expect_failure(run_binary({"restore", "42"}), "",
                   "snapwright: snapwright does not restore or roll back snapshots\n");
}

TEST(EntryBinary, HelpWriteFailureIsReported) {
    // A report that cannot be delivered must not pass for success.
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "/dev/full is not available";
    }
    const std::string command = "'" + kBinary + "' --help >/dev/full";
    const auto result =
        run_program("/bin/sh", {"sh", "-c", command},
                    {.environment = testing::environment_with_path("/usr/bin:/bin")});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err,
              "snapwright: I/O operation failed: No space left on device (os error 28)\n");
}

TEST(EntryBinary, ReaderThatWentAwayIsAnOrdinaryFailure) {
    // Standard output is a pipe whose reader is gone before the program starts, and SIGPIPE
    // has its default action.
    const auto gone_reader = [] {
        int out[2];
        if (::pipe(out) != 0 || ::close(out[0]) != 0 || ::dup2(out[1], STDOUT_FILENO) < 0) {
            return std::string("cannot make a pipe without a reader");
        }
        ::signal(SIGPIPE, SIG_DFL);
        return std::string();
    };
    const auto result = run_program(kBinary, {kBinary, "version"}, {.prepare = gone_reader});
    EXPECT_EQ(result.exit_code, 1) << testing::describe(result);
    EXPECT_EQ(result.err, "snapwright: I/O operation failed: Broken pipe (os error 32)\n");
}

TEST(EntryBinary, PluginModeFollowsInvocationName) {
    ScratchDir dir;
    for (const std::string name : {"10-snapwright", "10-snapwright.bak", "10-Snapwright"}) {
        std::filesystem::create_symlink(kBinary, dir / name);
    }
    const testing::ChildSetup env{.environment = testing::environment_with_path("/usr/bin:/bin")};

    // An event that schedules nothing: a plugin ends quietly, a command line refuses the word.
    const std::string plugin = (dir / "10-snapwright").string();
    const auto as_plugin = run_program(plugin, {plugin, "create-snapshot-pre", "/", "btrfs"}, env);
    EXPECT_EQ(as_plugin.exit_code, 0);
    EXPECT_EQ(as_plugin.out + as_plugin.err, "");

    // argv[0] decides, not the file that was executed.
    const auto renamed =
        run_program(kBinary, {"/usr/lib/snapper/plugins/10-snapwright/", "help"}, env);
    EXPECT_EQ(renamed.exit_code, 0);
    EXPECT_EQ(renamed.out + renamed.err, "");

    for (const std::string name : {"10-snapwright.bak", "10-Snapwright"}) {
        const std::string path = (dir / name).string();
        SCOPED_TRACE(name);
        expect_success(run_program(path, {path, "--help"}, env), kHelp);
    }
}

}  // namespace
}  // namespace snapwright::app
