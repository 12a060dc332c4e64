#include "system/elevate.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

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
using testing::ScopedEnv;
using testing::ScratchDir;
using testing::write_file;
using testing::write_script;

std::function<bool(const std::string&)> installed(std::set<std::string> names) {
    return [names = std::move(names)](const std::string& name) { return names.count(name) > 0; };
}

TEST(PrivilegeHelper, PrefersSudoThenDoas) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(privilege_helper_words(std::nullopt, installed({"sudo", "doas"})), Words{"sudo"});
    EXPECT_EQ(privilege_helper_words(std::nullopt, installed({"doas"})), Words{"doas"});
    EXPECT_EQ(privilege_helper_words(" \t ", installed({"doas"})), Words{"doas"});
    EXPECT_EQ(error_of([] { privilege_helper_words(std::nullopt, installed({})); }),
              "root privileges are required; install sudo/doas or run as root");
}

TEST(PrivilegeHelper, AuthMethodWordsAreUsedUnchangedWithoutLookup) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(privilege_helper_words("  run0 \t--user=root  -n ", installed({})),
              (Words{"run0", "--user=root", "-n"}));
    EXPECT_EQ(privilege_helper_words("/opt/bin/my-su", installed({"sudo"})),
              Words{"/opt/bin/my-su"});
}

TEST(PrivilegeHelper, CommandPutsHelperWordsBeforeExecutableAndRawArguments) {
    EXPECT_EQ(elevation_command({"sudo"}, "/usr/bin/snapwright", {"generate", "--debounce"}),
              (ElevationCommand{"sudo", {"/usr/bin/snapwright", "generate", "--debounce"}}));
    EXPECT_EQ(elevation_command({"doas", "-n", "-u", "root"}, "/x", {"gc", "\xff\xfe", ""}),
              (ElevationCommand{"doas", {"-n", "-u", "root", "/x", "gc", "\xff\xfe", ""}}));
}

// Runs reexecute_as_root in a child with `path` as PATH; returns what the child reports: the
// fake helper's argv record, or the error it failed with.
std::string reexecute_in_child(const ScratchDir& dir, const std::optional<std::string>& path,
                               const std::optional<std::string>& auth_method,
                               const std::vector<std::string>& arguments) {
    const std::string answer = testing::run_in_child([&] {
        if (path) {
            ::setenv("PATH", path->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
        reexecute_as_root(auth_method, arguments);
        return std::string("returned");
    });
    return fs::exists(dir / "report") ? testing::read_file(dir / "report") : answer;
}

class ReexecuteTest : public ::testing::Test {
  protected:
    ReexecuteTest() {
        for (const char* helper : {"sudo", "doas"}) {
            write_script(dir.path(), helper,
                         std::string("printf '") + helper + ":%s\\n' \"$@\" > '" +
                             (dir / "report").string() + "'");
        }
    }
    std::string own_executable() const { return fs::read_symlink("/proc/self/exe").string(); }

    ScratchDir dir;
};

TEST_F(ReexecuteTest, ReplacesTheProcessWithSudoAndTheSameArguments) {
    EXPECT_EQ(reexecute_in_child(dir, dir.path().string(), std::nullopt, {"generate", "a\xff"}),
              "sudo:" + own_executable() + "\nsudo:generate\nsudo:a\xff\n");
}

TEST_F(ReexecuteTest, AuthMethodWordsComeFirst) {
    EXPECT_EQ(reexecute_in_child(dir, dir.path().string(), "doas -n", {"gc"}),
              "doas:-n\ndoas:" + own_executable() + "\ndoas:gc\n");
}

TEST_F(ReexecuteTest, ReportsMissingHelpers) {
    EXPECT_EQ(reexecute_in_child(dir, std::nullopt, std::nullopt, {"gc"}),
              "error: root privileges are required; install sudo/doas or run as root");
    EXPECT_EQ(reexecute_in_child(dir, dir.path().string(), "snapwright-no-such-helper -x", {}),
              "error: execute privilege helper snapwright-no-such-helper: No such file or "
              "directory (os error 2)");
}

TEST_F(ReexecuteTest, RootIsNotElevated) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: checks that elevate does nothing for the root user";
    }
    ScopedEnv path("PATH", dir.path().string());
    elevate(std::nullopt, {"generate"});
    EXPECT_FALSE(fs::exists(dir / "report"));
}

}  // namespace
}  // namespace snapwright::system
