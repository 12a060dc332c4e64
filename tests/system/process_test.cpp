#include "system/process.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>

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
using testing::FakeToolPath;
using testing::ScopedEnv;
using testing::ScratchDir;
using testing::write_file;
using testing::write_script;

std::size_t open_descriptor_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

bool has_unreaped_child() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD;
}

class ProcessTest : public ::testing::Test {
  protected:
    ScratchDir tools;
    FakeToolPath path{tools.path()};
};

TEST_F(ProcessTest, PassesArgumentsAsRawBytesWithNullStandardInput) {
    write_script(tools.path(), "echo-args",
                 "printf '%s|' \"$@\"; readlink /proc/$$/fd/0; echo warn >&2");
    const CommandOutput output =
        run_captured("echo-args", {"two words", "bad\xff", ""}, "execute echo-args");
    EXPECT_TRUE(output.success());
    EXPECT_EQ(output.stdout_bytes, "two words|bad\xff||/dev/null\n");
    EXPECT_EQ(output.stderr_bytes, "warn\n");
}

TEST_F(ProcessTest, DrainsLargeInterleavedOutputOnBothStreams) {
    // Far more than a pipe holds on either stream, alternating, so a runner that read one
    // stream to its end before the other would deadlock here.
    write_script(tools.path(), "chatty",
                 "for i in 1 2 3 4; do\n"
                 "  head -c 1000000 /dev/zero | tr '\\0' o\n"
                 "  head -c 1000000 /dev/zero | tr '\\0' e >&2\n"
                 "done");
    const CommandOutput output = run_captured("chatty", {}, "execute chatty");
    EXPECT_TRUE(output.success());
    EXPECT_EQ(output.stdout_bytes, std::string(4000000, 'o'));
    EXPECT_EQ(output.stderr_bytes, std::string(4000000, 'e'));
}

TEST_F(ProcessTest, LeavesNoDescriptorOrZombieBehind) {
    write_script(tools.path(), "ok", "echo fine");
    write_script(tools.path(), "fails", "echo bad >&2; exit 1");
    const std::size_t before = open_descriptor_count();
    EXPECT_EQ(run_checked("ok", {}, "execute ok", "ok failed: "), "fine\n");
    EXPECT_ANY_THROW(run_checked("fails", {}, "execute fails", "fails failed: "));
    EXPECT_ANY_THROW(run_captured("snapwright-no-such-tool", {}, "execute missing"));
    EXPECT_EQ(open_descriptor_count(), before);
    EXPECT_FALSE(has_unreaped_child());
}

TEST_F(ProcessTest, StartedCommandRunsUnreadAndEndsWithItsOwner) {
    // More than a pipe holds, with no one reading until it has exited.
    write_script(tools.path(), "chatty",
                 "head -c 1000000 /dev/zero | tr '\\0' o; echo warn >&2; exit 3");
    write_script(tools.path(), "sleeper", "exec sleep 600");
    const std::size_t before = open_descriptor_count();
    {
        StartedCommand chatty("chatty", {}, "execute chatty");
        const CommandOutput output = chatty.finish();
        EXPECT_EQ(WEXITSTATUS(output.status), 3);
        EXPECT_EQ(output.stdout_bytes, std::string(1000000, 'o'));
        EXPECT_EQ(output.stderr_bytes, "warn\n");
    }
    {
        // An owner that never asks for the output ends the child rather than wait for it.
        const StartedCommand sleeper("sleeper", {}, "execute sleeper");
    }
    EXPECT_FALSE(has_unreaped_child());
    EXPECT_EQ(error_of([] { StartedCommand("snapwright-no-such-tool", {}, "execute missing"); }),
              "execute missing: No such file or directory (os error 2)");
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(ProcessTest, ReportsAProgramThatCannotBeStarted) {
    EXPECT_EQ(error_of([] { run_captured("snapwright-no-such-tool", {}, "execute findmnt"); }),
              "execute findmnt: No such file or directory (os error 2)");
    write_file(tools / "not-executable", "#!/bin/sh\n");
    EXPECT_EQ(error_of([] { run_captured("not-executable", {}, "execute mount"); }),
              "execute mount: Permission denied (os error 13)");
}

TEST_F(ProcessTest, FailureMessageCarriesTrimmedStandardErrorButNoExitCode) {
    write_script(tools.path(), "tool",
                 "echo discarded; printf '  \\n it broke \\n\\n' >&2; exit 7");
    EXPECT_EQ(error_of([] { run_checked("tool", {}, "execute tool", "tool failed: "); }),
              "tool failed: it broke");
}

TEST_F(ProcessTest, FailureWithBlankOrNoStandardErrorHasEmptyDetail) {
    write_script(tools.path(), "blank", "printf ' \\n\\t\\n' >&2; exit 1");
    write_script(tools.path(), "silent", "exit 2");
    EXPECT_EQ(error_of([] { run_checked("blank", {}, "execute blank", "findmnt failed: "); }),
              "findmnt failed: ");
    EXPECT_EQ(error_of([] { run_checked("silent", {}, "execute silent", "findmnt failed: "); }),
              "findmnt failed: ");
}

TEST_F(ProcessTest, InvalidUtf8IsReplacedInOutputAndMessages) {
    write_script(tools.path(), "garbled",
                 "printf 'out \\377\\n'; printf 'bad \\377 byte' >&2; exit 1");
    write_script(tools.path(), "garbled-ok", "printf 'out \\377\\n'");
    EXPECT_EQ(error_of([] { run_checked("garbled", {}, "execute garbled", "garbled failed: "); }),
              "garbled failed: bad \xEF\xBF\xBD byte");
    EXPECT_EQ(run_checked("garbled-ok", {}, "execute garbled", "garbled failed: "),
              "out \xEF\xBF\xBD\n");
}

TEST_F(ProcessTest, DeathBySignalIsFailure) {
    write_script(tools.path(), "killed", "echo dying >&2; kill -9 $$");
    const CommandOutput output = run_captured("killed", {}, "execute killed");
    EXPECT_FALSE(output.success());
    EXPECT_TRUE(WIFSIGNALED(output.status));
    EXPECT_EQ(error_of([] { run_checked("killed", {}, "execute killed", "killed failed: "); }),
              "killed failed: dying");
}

TEST_F(ProcessTest, RunInheritedWaitsAndIgnoresFailures) {
    const fs::path marker = tools / "ran";
    write_script(tools.path(), "slow-umount",
                 "sleep 0.2; touch '" + marker.string() + "'; exit 32");
    run_inherited("slow-umount", {});
    EXPECT_TRUE(fs::exists(marker));
    run_inherited("snapwright-no-such-tool", {"x"});
    EXPECT_FALSE(has_unreaped_child());
}

TEST_F(ProcessTest, ReplaceProcessExecutesWithArgumentsOrReturnsErrno) {
    const fs::path record = tools / "argv";
    write_script(tools.path(), "recorder", "printf '%s\\n' \"$@\" > '" + record.string() + "'");
    // A child that is replaced reports nothing; one that returns reports the error.
    EXPECT_EQ(testing::run_in_child([&] {
                  return "returned " + std::to_string(replace_process("recorder", {"a b", "c"}));
              }),
              "");
    EXPECT_EQ(base::read_text_file(record), "a b\nc\n");

    EXPECT_EQ(replace_process("snapwright-no-such-tool", {}), ENOENT);
}

// Whether SIGPIPE is ignored in the process that `tool` starts, as the process itself records it.
bool child_ignores_sigpipe(const fs::path& record) {
    const std::string mask = base::read_text_file(record);
    return (std::stoull(mask, nullptr, 16) & (1ULL << (SIGPIPE - 1))) != 0;
}

TEST_F(ProcessTest, ChildrenStartWithTheDefaultSigpipeActionAlthoughThisProcessIgnoresIt) {
    const fs::path record = tools / "sigign-mask";
    write_script(tools.path(), "sigign",
                 "while read -r key value; do [ \"$key\" = SigIgn: ] && echo \"$value\"; done "
                 "< /proc/$$/status > '" +
                     record.string() + "'; exit 0");
    // Replaced, the child reports nothing.
    EXPECT_EQ(testing::run_in_child([&] {
                  ::signal(SIGPIPE, SIG_IGN);
                  (void)run_captured("sigign", {}, "execute sigign");
                  if (child_ignores_sigpipe(record)) {
                      return std::string("a spawned child ignored SIGPIPE");
                  }
                  return "returned " + std::to_string(replace_process("sigign", {}));
              }),
              "");
    EXPECT_FALSE(child_ignores_sigpipe(record)) << "the replacing program ignored SIGPIPE";
}

class FindExecutableTest : public ::testing::Test {
  protected:
    ScratchDir dir;
};

TEST_F(FindExecutableTest, UnsetPathFindsOnlyNamesWithADirectoryPart) {
    const fs::path sudo = write_script(dir.path(), "sudo", "");
    ScopedEnv no_path("PATH", std::nullopt);
    EXPECT_FALSE(find_executable("sudo"));
    EXPECT_TRUE(find_executable(sudo.string()));
    EXPECT_FALSE(find_executable(dir.path().string()));
    EXPECT_FALSE(find_executable((dir / "missing").string()));
}

TEST_F(FindExecutableTest, SearchesPathEntriesInOrderForRegularFiles) {
    fs::create_directories(dir / "first" / "doas");  // a directory named like the tool
    fs::create_directories(dir / "second");
    fs::create_directories(dir / "links");
    write_file(dir / "second" / "plain", "not executable, still counts");
    write_file(dir / "target", "");
    fs::create_symlink(dir / "target", dir / "links" / "linked");
    fs::create_symlink(dir / "nowhere", dir / "links" / "dangling");
    ScopedEnv path("PATH", (dir / "first").string() + "::" + (dir / "second").string() + ":" +
                               (dir / "links").string());
    EXPECT_FALSE(find_executable("doas"));
    EXPECT_TRUE(find_executable("plain"));
    EXPECT_TRUE(find_executable("linked"));
    EXPECT_FALSE(find_executable("dangling"));
    EXPECT_FALSE(find_executable("absent"));
}

TEST_F(FindExecutableTest, EmptyPathEntryMeansTheWorkingDirectory) {
    write_file(dir / "here", "");
    // The working directory is changed only in a child, so the test process keeps its own.
    EXPECT_EQ(testing::run_in_child([&] {
                  ::setenv("PATH", "/nonexistent:", 1);
                  const bool found = ::chdir(dir.path().c_str()) == 0 && find_executable("here") &&
                                     !find_executable("elsewhere");
                  return std::string(found ? "found" : "not found");
              }),
              "found");
}

}  // namespace
}  // namespace snapwright::system
