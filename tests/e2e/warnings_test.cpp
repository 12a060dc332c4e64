// The warnings of `generate` and `status` on standard error, on a real machine: each appears in
// its situation only, and standard output and the exit status stay those of a quiet run.

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/machine_fixture.hpp"
#include "support/snapper_sandbox.hpp"

namespace snapwright::testing {
namespace {

constexpr const char* kVolatile = "SNAPSHOT_KERNEL_PARAMETERS=systemd.volatile=state\n";

class Warnings : public StandardMachineTest {
  protected:
    // Runs `generate` and then `status`; both succeed with their usual output and print `err`.
    void expect_warnings(const std::string& generate_err, const std::string& status_err,
                         const std::vector<std::string>& extra_env = {}) {
        const ProgramResult generate = snapwright({"generate"}, extra_env);
        ASSERT_EQ(generate.exit_code, 0) << describe(generate);
        EXPECT_TRUE(generate.out.starts_with("Archived ")) << generate.out;
        EXPECT_EQ(generate.out.find('\n'), generate.out.size() - 1) << generate.out;
        EXPECT_EQ(generate.err, generate_err);
        const ProgramResult status = snapwright({"status"}, extra_env);
        ASSERT_EQ(status.exit_code, 0) << describe(status);
        EXPECT_EQ(labelled_values(status.out).size(), 12u) << status.out;
        EXPECT_EQ(status.err, status_err);
    }

    // EFI variable `name` of systemd-boot holding `value`.
    void set_variable(const std::string& name, const std::string& value) {
        write_loader_variable(machine().efi_variables(), name,
                              std::u16string(value.begin(), value.end()));
    }
};

TEST_F(Warnings, SnapshotEntryBootedByDefault) {
    machine().write_config(kVolatile);
    const std::string entry = entry_name(take_snapshot(1));
    // The machine's loader.conf names its own entries.
    expect_warnings("", "");

    fs::remove(machine().in_root("/boot/loader/loader.conf"));
    const std::string first = "snapwright: warning: systemd-boot will boot snapshot entry " +
                              entry +
                              " by default, as the first entry of its menu; set 'default' in "
                              "/boot/loader/loader.conf to match your system's entries\n";
    expect_warnings(first, first);

    set_variable("LoaderEntryDefault", "test-os.conf");
    expect_warnings("", "");

    set_variable("LoaderEntryDefault", entry);
    const std::string efi = "snapwright: warning: systemd-boot will boot snapshot entry " + entry +
                            " by default, as the EFI variable LoaderEntryDefault names it; "
                            "choose your system's entry with bootctl set-default\n";
    expect_warnings(efi, efi);
}

TEST_F(Warnings, ManifestsUnderAnotherOsName) {
    machine().write_config(kVolatile);
    take_snapshot(1);
    expect_warnings("", "");

    // A point release changes PRETTY_NAME.
    write_file(machine().in_root("/etc/os-release"),
               "NAME=\"Sandbox Linux\"\nPRETTY_NAME=\"Sandbox Linux 1.1\"\nID=sandbox\n");
    const std::string warning =
        "snapwright: warning: the archive holds 1 snapshot manifest of this machine recorded "
        "under the operating-system name \"Sandbox Linux 1.0\" instead of \"Sandbox Linux "
        "1.1\", and their snapshots are not deployed; TARGET_OS_NAME=\"Sandbox Linux 1.0\" in "
        "the configuration keeps it\n";
    expect_warnings(warning, warning);

    machine().write_config(std::string(kVolatile) + "TARGET_OS_NAME=\"Sandbox Linux 1.0\"\n");
    expect_warnings("", "");
}

TEST_F(Warnings, ReadOnlySnapshotsWithoutVolatileState) {
    machine().create_snapshot("@/.snapshots/1/snapshot", {.read_only = false});
    expect_warnings("", "");

    take_snapshot(2);
    take_snapshot(3);
    // Only status advises.
    expect_warnings(
        "",
        "snapwright: note: 2 deployed snapshots are read-only, and a read-only root without "
        "systemd.volatile= boots to 'degraded' at best; set "
        "SNAPSHOT_KERNEL_PARAMETERS=\"systemd.volatile=state\" for the snapshots archived from "
        "now on (README: Booting a snapshot, read-only snapshots)\n");

    machine().write_config(kVolatile);
    expect_warnings("", "");
}

// Snapper's listing records no read-only flag: the subvolume itself is asked, where the running
// system sees it.
TEST_F(Warnings, ReadOnlySnapperSnapshotsAreAskedThemselves) {
    SKIP_WITHOUT_SNAPPER();
    const std::string path = set_up_snapper(machine());
    machine().write_config("PROVIDER=snapper\n");
    create_snapper_snapshot(machine(), "read-only");
    const int writable = create_snapper_snapshot(machine(), "made writable");
    run_on_host(
        {"btrfs", "property", "set", "-ts",
         machine().in_top_level("@/.snapshots/" + std::to_string(writable) + "/snapshot").string(),
         "ro", "false"});
    expect_warnings("",
                    "snapwright: note: 1 deployed snapshot is read-only, and a read-only root "
                    "without systemd.volatile= boots to 'degraded' at best; set "
                    "SNAPSHOT_KERNEL_PARAMETERS=\"systemd.volatile=state\" for the snapshots "
                    "archived from now on (README: Booting a snapshot, read-only snapshots)\n",
                    {path});
}

}  // namespace
}  // namespace snapwright::testing
