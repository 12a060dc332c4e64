// The sandbox itself: if it does not look like a real machine to the tools, every end-to-end
// test above it proves nothing.

#include "support/sandbox.hpp"

#include "support/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace snapwright::testing {
namespace {

const nlohmann::json* find_mount(const nlohmann::json& filesystems, const std::string& target) {
    for (const auto& fs : filesystems) {
        if (fs.value("target", "") == target) {
            return &fs;
        }
        if (fs.contains("children")) {
            if (const auto* found = find_mount(fs["children"], target)) {
                return found;
            }
        }
    }
    return nullptr;
}

bool loop_backed_by_file_below(const fs::path& directory) {
    for (const auto& entry : fs::directory_iterator("/sys/block")) {
        std::ifstream in(entry.path() / "loop/backing_file");
        std::string backing;
        if (std::getline(in, backing) && backing.rfind(directory.string(), 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST(Sandbox, LooksLikeABtrfsMachineFromInside) {
    SKIP_WITHOUT_SANDBOX();
    Sandbox sandbox;
    std::cout << "sandbox created in " << sandbox.creation_seconds() << " s\n";
    RecordProperty("creation_seconds", std::to_string(sandbox.creation_seconds()));
    // Typically a few tenths of a second; the bound leaves room for a loaded machine and catches
    // a set-up step that starts waiting on the disk.
    EXPECT_LT(sandbox.creation_seconds(), 3.0);

    const ProgramResult findmnt =
        sandbox.run({"findmnt", "--json", "--output", "TARGET,FSROOT,UUID,LABEL,FSTYPE"});
    ASSERT_EQ(findmnt.exit_code, 0) << describe(findmnt);
    const auto table = nlohmann::json::parse(findmnt.out)["filesystems"];
    const auto* root = find_mount(table, "/");
    ASSERT_NE(root, nullptr) << findmnt.out;
    EXPECT_EQ((*root)["fstype"], "btrfs");
    EXPECT_EQ((*root)["fsroot"], "/@");
    EXPECT_EQ((*root)["uuid"], sandbox.filesystem_uuid());
    const auto* boot = find_mount(table, "/boot");
    ASSERT_NE(boot, nullptr) << findmnt.out;
    EXPECT_EQ((*boot)["fstype"], "ext4");
    EXPECT_EQ((*boot)["uuid"], sandbox.boot_uuid());

    const ProgramResult env = sandbox.run({"env"});
    EXPECT_EQ(env.out, "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n");
    const ProgramResult id = sandbox.run({"cat", "/etc/machine-id"});
    EXPECT_EQ(id.out, sandbox.machine_id() + "\n");

    // The programs under test mount the top level by UUID, which needs the by-uuid link.
    const ProgramResult mount = sandbox.run({"sh", "-c",
                                             "mkdir /tmp/top && mount -t btrfs -o ro,subvolid=5 "
                                             "UUID=" +
                                                 sandbox.filesystem_uuid() +
                                                 " /tmp/top && ls /tmp/top && umount /tmp/top"});
    EXPECT_EQ(mount.exit_code, 0) << describe(mount);
    EXPECT_EQ(mount.out, "@\n");
}

TEST(Sandbox, CapturesStatusAndBothStreams) {
    SKIP_WITHOUT_SANDBOX();
    Sandbox sandbox;
    const ProgramResult result = sandbox.run({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.out, "out\n");
    EXPECT_EQ(result.err, "err\n");

    const ProgramResult missing = sandbox.run({"/no/such/program"});
    EXPECT_EQ(missing.exit_code, 127);
    EXPECT_EQ(missing.err, "cannot execute /no/such/program: No such file or directory\n");

    const ProgramResult killed = sandbox.run({"sh", "-c", "kill -9 $$"});
    EXPECT_EQ(killed.exit_code, -1);
}

TEST(Sandbox, SnapshotsCarryBootUnlessAskedNotTo) {
    SKIP_WITHOUT_SANDBOX();
    Sandbox sandbox;
    sandbox.create_subvolume("@/.snapshots");
    const std::string with_boot = sandbox.create_snapshot("@/.snapshots/1/snapshot");
    sandbox.create_snapshot("@/.snapshots/2/snapshot", {.with_boot = false});
    sandbox.create_snapshot("@/.snapshots/3/snapshot", {.read_only = false});
    EXPECT_NE(with_boot, sandbox.root_subvolume_uuid());

    const ProgramResult show =
        sandbox.run({"btrfs", "subvolume", "show", "/.snapshots/1/snapshot"});
    ASSERT_EQ(show.exit_code, 0) << describe(show);
    EXPECT_NE(show.out.find("UUID: \t\t\t" + with_boot), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("Parent UUID: \t\t" + sandbox.root_subvolume_uuid()), std::string::npos)
        << show.out;

    const ProgramResult flags =
        sandbox.run({"sh", "-c",
                     "for n in 1 2 3; do btrfs property get -ts /.snapshots/$n/snapshot ro; "
                     "test -d /.snapshots/$n/snapshot/boot && echo boot; done"});
    EXPECT_EQ(flags.out, "ro=true\nboot\nro=true\nro=false\nboot\n") << describe(flags);
}

TEST(Sandbox, BootctlReadsWrittenEntries) {
    SKIP_WITHOUT_SANDBOX();
    Sandbox sandbox;
    EntrySpec wanted;
    wanted.microcode_size = 1024;
    const WrittenEntry entry = sandbox.write_entry(wanted);
    EXPECT_EQ(fs::file_size(sandbox.in_root("/boot" + entry.kernel)), 4096u);
    EXPECT_EQ(entry.initrds.size(), 2u);
    const ProgramResult list = sandbox.run(
        {"bootctl", "--esp-path=/boot", "--no-variables", "list"}, {"SYSTEMD_RELAX_ESP_CHECKS=1"});
    ASSERT_EQ(list.exit_code, 0) << describe(list);
    EXPECT_NE(list.out.find("title: Test OS"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("/boot/loader/entries/test-os.conf"), std::string::npos) << list.out;
}

TEST(Sandbox, TreeDescriptionNoticesChanges) {
    SKIP_WITHOUT_SANDBOX();
    Sandbox sandbox;
    const WrittenEntry entry = sandbox.write_entry({});
    const fs::path boot = sandbox.in_root("/boot");
    const fs::path kernel = boot / entry.kernel.substr(1);
    const std::string before = describe_tree(boot);
    const std::string before_with_times = describe_tree(boot, {.mtimes = true});

    const timespec times[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, kernel.c_str(), times, 0), 0);
    EXPECT_EQ(describe_tree(boot), before);
    EXPECT_NE(describe_tree(boot, {.mtimes = true}), before_with_times);

    write_file(kernel, std::string(4096, 'x'));
    EXPECT_NE(describe_tree(boot), before);
    EXPECT_EQ(describe_tree(boot, {.content = false}), describe_tree(boot, {.content = false}));
}

TEST(Sandbox, LeavesNoMountLoopOrFileBehind) {
    SKIP_WITHOUT_SANDBOX();
    fs::path work;
    {
        Sandbox sandbox;
        work = sandbox.root().parent_path();
        // A mount left behind inside the chroot must not keep anything alive either.
        const ProgramResult mount =
            sandbox.run({"sh", "-c",
                         "mkdir -p /run/left && mount -t btrfs -o ro,subvolid=5 UUID=" +
                             sandbox.filesystem_uuid() + " /run/left"});
        ASSERT_EQ(mount.exit_code, 0) << describe(mount);
        ASSERT_TRUE(loop_backed_by_file_below(work));
    }
    EXPECT_FALSE(fs::exists(work));
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        EXPECT_EQ(line.find(work.string()), std::string::npos) << line;
    }
    // Autoclear detaches the devices once the last mount is gone; give the kernel a moment.
    for (int i = 0; i < 50 && loop_backed_by_file_below(work); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(loop_backed_by_file_below(work));
}

}  // namespace
}  // namespace snapwright::testing
