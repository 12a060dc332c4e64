// Entries written without a machine-id line (by installers and by hand) are taken as sources
// only when no entry names this machine and their root= and rootflags name the running root
// filesystem and subvolume.

#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "e2e/machine_fixture.hpp"

namespace snapwright::testing {
namespace {

struct RootCase {
    const char* name;
    // The root= value of the entry without a machine-id line.
    std::function<std::string(Sandbox&)> root;
    bool taken;
    // Another entry, with this machine's machine-id line, is on the boot partition too.
    bool with_machine_entry = false;
};

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

const RootCase kCases[] = {
    {"UuidInAnotherCase", [](const Sandbox& m) { return "UUID=" + upper(m.filesystem_uuid()); },
     true},
    {"QuotedLabel",
     [](const Sandbox&) { return std::string("\"LABEL=") + Sandbox::kFilesystemLabel + "\""; },
     true},
    {"DevicePath", [](const Sandbox& m) { return m.root_device(); }, true},
    // Mountinfo names only the first device of a filesystem that spans two.
    {"SecondMemberDevice", [](Sandbox& m) { return m.add_root_device(); }, true},
    {"AnotherFilesystemByUuid",
     [](const Sandbox&) { return std::string("UUID=0f1e2d3c-0000-4000-8000-000000000000"); },
     false},
    // The boot partition is a real block device too, just not the one holding "/".
    {"AnotherDeviceByPath", [](const Sandbox& m) { return "/dev/disk/by-uuid/" + m.boot_uuid(); },
     false},
    {"NoRoot", nullptr, false},
    {"MachineIdEntryWins", [](const Sandbox& m) { return "UUID=" + m.filesystem_uuid(); }, false,
     true},
};

class RootMatch : public MachineTest, public ::testing::WithParamInterface<RootCase> {};

TEST_P(RootMatch, TakesAnEntryWithoutMachineIdOnlyWhenItNamesTheRoot) {
    const RootCase& c = GetParam();
    std::optional<SourceEntry> machine_entry;
    if (c.with_machine_entry) {
        machine_entry = write_source_entry(standard_entry());
    }
    EntrySpec wanted = standard_entry();
    wanted.file_name = "2024-03-01_linux.conf";
    wanted.title = "Arch Linux";
    wanted.version = "6.8.1-arch1-1";
    wanted.machine_id_line = false;
    const std::string root = c.root ? "root=" + c.root(machine()) + " " : "";
    wanted.options = root + "rootflags=subvol=@ rw quiet";
    const SourceEntry unmarked = write_source_entry(wanted);
    const Snapshot snapshot = take_snapshot(1);

    const ProgramResult result = snapwright({"generate"});
    if (!c.taken && !c.with_machine_entry) {
        expect_failure(
            result, "",
            "snapwright: no ordinary systemd-boot Linux entries were found for machine " +
                machine_id() + "\n");
        EXPECT_TRUE(generated_entries().empty());
        return;
    }
    ASSERT_EQ(result.exit_code, 0) << describe(result);
    EXPECT_EQ(result.err, "");
    if (machine_entry) {
        EXPECT_EQ(generated_entries(),
                  (std::map<std::string, std::string>{
                      {entry_name(snapshot), entry_text(snapshot, *machine_entry)}}));
        return;
    }
    // The generated entry carries this machine's machine-id and the entry's own root=.
    std::string expected = entry_text(snapshot, unmarked);
    const std::string usual = "root=UUID=" + machine().filesystem_uuid() + " ";
    expected.replace(expected.find(usual), usual.size(), root);
    EXPECT_EQ(generated_entries(),
              (std::map<std::string, std::string>{{entry_name(snapshot), expected}}));
}

INSTANTIATE_TEST_SUITE_P(Entries, RootMatch, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Two installations in "@" and "@other" of one filesystem share the boot partition: the other's
// entries name the same filesystem, but not the subvolume mounted at "/" (nor does an entry
// without rootflags, which mounts the default subvolume, here the top level).
TEST_F(MachineTest, TakesNoEntryOfAnotherInstallationOnTheSameFilesystem) {
    machine().create_subvolume("@other");
    EntrySpec ours = standard_entry();
    ours.machine_id_line = false;
    const SourceEntry own = write_source_entry(ours);
    const std::string root = "root=UUID=" + machine().filesystem_uuid();
    const struct {
        const char* file_name;
        std::string options;
    } others[] = {
        {"other.conf", root + " rootflags=compress=zstd,subvol=/@other rw"},
        {"other-default.conf", root + " rw"},
    };
    for (const auto& other : others) {
        EntrySpec theirs = standard_entry();
        theirs.file_name = other.file_name;
        theirs.machine_id = "fedcba9876543210fedcba9876543210";
        theirs.machine_id_line = false;
        theirs.options = other.options;
        (void)write_source_entry(theirs);
    }
    const Snapshot snapshot = take_snapshot(1);

    const ProgramResult result = snapwright({"generate"});
    ASSERT_EQ(result.exit_code, 0) << describe(result);
    EXPECT_EQ(
        generated_entries(),
        (std::map<std::string, std::string>{{entry_name(snapshot), entry_text(snapshot, own)}}));
}

}  // namespace
}  // namespace snapwright::testing
