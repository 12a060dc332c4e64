// Write commands started with a permissive umask (a service with UMask=0000, a privilege helper
// that keeps the caller's) still leave no directory that others can write, and refuse stores
// whose directories others can write.

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/machine_fixture.hpp"

namespace snapwright::testing {
namespace {

class Permissions : public StandardMachineTest {
  protected:
    // The command run by a shell whose umask is 000.
    ProgramResult under_umask_zero(const std::string& command) const {
        return machine().run({"/bin/sh", "-c", "umask 000 && exec \"$0\" " + command, binary()});
    }

    // Every directory at or below `top` (links not followed) that group or others can write.
    static std::vector<std::string> writable_by_others(const fs::path& top) {
        std::vector<std::string> found;
        const auto open = [](const fs::path& path) {
            const fs::file_status status = fs::symlink_status(path);
            return fs::is_directory(status) &&
                   (status.permissions() & (fs::perms::group_write | fs::perms::others_write)) !=
                       fs::perms::none;
        };
        if (open(top)) {
            found.push_back(top.string());
        }
        for (const auto& entry : fs::recursive_directory_iterator(top)) {
            if (open(entry.path())) {
                found.push_back(entry.path().string());
            }
        }
        return found;
    }
};

TEST_F(Permissions, UnderUmaskZeroCreatesPrivateDirectoriesAndRefusesOpenOnes) {
    machine().write_config("DEBOUNCE_MILLISECONDS=1\n");
    take_snapshot(1);
    const ProgramResult result = under_umask_zero("generate --debounce");
    ASSERT_EQ(result.exit_code, 0) << describe(result);
    for (const char* top : {"/var/lib/snapwright", "/boot/snapwright", "/run/snapwright"}) {
        EXPECT_EQ(writable_by_others(machine().in_root(top)), std::vector<std::string>{}) << top;
    }

    // A directory of the archive opened to everyone: neither generate nor gc trusts what is in
    // it, and nothing on the boot partition changes.
    const std::map<std::string, std::string> deployed = generated_entries();
    const std::string opened = "/var/lib/snapwright/" + machine_id() + "/snapshots";
    ASSERT_EQ(::chmod(machine().in_root(opened).c_str(), 0777), 0);
    take_snapshot(2);
    const std::string refusal = "snapwright: refusing group- or world-writable directory " +
                                opened + "; fix it with chmod go-w " + opened + "\n";
    for (const char* command : {"generate", "gc"}) {
        SCOPED_TRACE(command);
        expect_failure(under_umask_zero(command), "", refusal);
    }
    EXPECT_EQ(generated_entries(), deployed);
    expect_nothing_held();
}

}  // namespace
}  // namespace snapwright::testing
