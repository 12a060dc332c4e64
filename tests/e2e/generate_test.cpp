// `generate` on a real Btrfs machine: what it archives and deploys, what it leaves alone, and
// that every refusal leaves the boot partition exactly as it was.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/machine_fixture.hpp"

namespace snapwright::testing {
namespace {

constexpr TreeOptions kEveryChange{.content = true, .mtimes = true, .inodes = true};

class Generate : public StandardMachineTest {
  protected:
    // The summary of a run that deploys `count` snapshots of the standard entry.
    Summary deployed(std::uint64_t archived, std::uint64_t count) const {
        return Summary{.archived = archived,
                       .snapshots = count,
                       .kernel_sets = count > 0 ? 1u : 0u,
                       .objects = count > 0 ? 3u : 0u,
                       .bytes = count > 0 ? source_.total_bytes() : 0,
                       .average_set = count > 0 ? source_.set_bytes() : 0,
                       .reserve = count > 0 ? 2 * source_.set_bytes() : 0};
    }

    std::map<std::string, std::string> expected_entries(const std::vector<Snapshot>& snapshots) {
        std::map<std::string, std::string> entries;
        for (const Snapshot& snapshot : snapshots) {
            entries.emplace(entry_name(snapshot), entry_text(snapshot, source_));
        }
        return entries;
    }

    // The ordinary entry and its assets, which no run may change.
    std::string source_tree() const {
        return describe_tree(machine().in_root("/boot/" + machine_id()), kEveryChange) +
               describe_tree(source_.written.entry, kEveryChange);
    }

    void generate_successfully(const Summary& expected, const std::string& command = "generate") {
        expect_summary(snapwright({command}), expected);
    }
};

TEST_F(Generate, FirstRunArchivesAndDeploysEverySnapshot) {
    const std::vector<Snapshot> snapshots = take_snapshots(3);
    const std::string ordinary = source_tree();
    Summary expected = deployed(3, 3);
    expected.created = 3;
    expected.entries_changed = true;
    generate_successfully(expected);
    expect_nothing_held();

    EXPECT_EQ(generated_entries(), expected_entries(snapshots));
    for (const auto& [name, text] : generated_entries()) {
        EXPECT_EQ(mode_of(entry_directory() / name), 0644u) << name;
    }
    EXPECT_EQ(stored_objects(boot_store()), source_.objects());
    EXPECT_EQ(stored_objects(archive_store()), source_.objects());
    for (const auto& [digest, size] : source_.objects()) {
        EXPECT_EQ(sha256_of(machine().in_root("/boot" + boot_path(digest))), digest);
    }
    EXPECT_EQ(source_tree(), ordinary);
}

TEST_F(Generate, WithoutSnapshotsDeploysNothingAndHoldsNothing) {
    for (const std::string command : {"generate", "generate", "--debounce"}) {
        generate_successfully(deployed(0, 0), command);
        expect_nothing_held();
    }
}

TEST_F(Generate, FailedRunHoldsNothing) {
    // An archive path that cannot become a subvolume fails the run after the mount was made.
    machine().write_config("ARCHIVE_PATH=/etc/os-release\n");
    const ProgramResult failed = snapwright({"generate"});
    EXPECT_EQ(failed.exit_code, 1) << describe(failed);
    EXPECT_EQ(failed.out, "");
    EXPECT_TRUE(failed.err.starts_with("snapwright: ")) << failed.err;
    expect_nothing_held();
}

TEST_F(Generate, RunWithoutChangesRewritesNothing) {
    take_snapshots(3);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    const std::string ordinary = source_tree();
    const std::string boot = describe_tree(machine().in_root("/boot"), kEveryChange);

    generate_successfully(deployed(3, 3));
    expect_nothing_held();
    EXPECT_EQ(describe_tree(machine().in_root("/boot"), kEveryChange), boot);
    EXPECT_EQ(source_tree(), ordinary);
}

TEST_F(Generate, BootctlReadsEveryGeneratedEntryWithItsFiles) {
    const std::vector<Snapshot> snapshots = take_snapshots(3);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));

    const std::string list = bootctl_list();
    for (const Snapshot& snapshot : snapshots) {
        const std::string title = "title: Sandbox Linux 1.0 Snapshot " +
                                  std::to_string(snapshot.number) + " - " + source_.profile_name();
        EXPECT_NE(list.find(title), std::string::npos) << title << "\n" << list;
        EXPECT_NE(list.find("/boot/loader/entries/" + entry_name(snapshot)), std::string::npos)
            << list;
    }
    EXPECT_NE(list.find("title: Test OS"), std::string::npos) << list;
    std::size_t listed = 0;
    for (auto at = list.find("type: Boot Loader Specification Type #1"); at != std::string::npos;
         at = list.find("type: Boot Loader Specification Type #1", at + 1)) {
        ++listed;
    }
    EXPECT_EQ(listed, 4u) << list;
}

TEST_F(Generate, VanishedSnapshotLosesItsManifestAndEntryAndLeftoversGo) {
    const std::vector<Snapshot> snapshots = take_snapshots(3);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    const fs::path manifest = archive_store() / "snapshots" / machine().filesystem_uuid() /
                              "btrfs/root" / snapshots[1].uuid;
    ASSERT_TRUE(fs::exists(manifest / "manifest.json"));
    const std::string ordinary = source_tree();

    delete_snapshot(2);
    // What killed runs leave behind goes too.
    const fs::path temporary =
        entry_directory() / ("." + entry_name(snapshots[0]) + ".tmp-4194303-0");
    write_file(temporary, "half an entry");
    const fs::path emptied =
        archive_store() / "snapshots" / machine().filesystem_uuid() / "btrfs/root/gone";
    fs::create_directories(emptied);
    const fs::path mount_point =
        machine().in_root("/run/snapwright/top-level-" + machine_id() + "-4194303");
    fs::create_directories(mount_point);

    Summary expected = deployed(2, 2);
    expected.removed = 1;
    expected.entries_changed = true;
    generate_successfully(expected);
    EXPECT_FALSE(fs::exists(temporary));
    EXPECT_FALSE(fs::exists(emptied));
    EXPECT_FALSE(fs::exists(mount_point));

    EXPECT_FALSE(fs::exists(manifest));
    EXPECT_EQ(generated_entries(), expected_entries({snapshots[0], snapshots[2]}));
    EXPECT_EQ(stored_objects(boot_store()), source_.objects());
    EXPECT_EQ(source_tree(), ordinary);
}

// After a rollback the root is a new subvolume that no snapshot names as its parent, so the
// listing is empty; the old root's snapshots still exist and keep their entries.
TEST_F(Generate, RollbackKeepsTheEntriesOfTheSnapshotsThatStillExist) {
    machine().create_subvolume("archive");
    machine().mount_subvolume("archive", "/var/lib/snapwright");
    const std::vector<Snapshot> snapshots = take_snapshots(3);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    const auto entries = expected_entries(snapshots);
    ASSERT_EQ(generated_entries(), entries);

    machine().create_snapshot("rollback",
                              {.source = "@/.snapshots/1/snapshot", .read_only = false});
    machine().replace_root("rollback");
    generate_successfully(deployed(3, 3));
    EXPECT_EQ(generated_entries(), entries);
    expect_success(snapwright({"verify"}), "Checked objects: 6\nNo integrity issues found\n");

    delete_snapshot(2);
    Summary expected = deployed(2, 2);
    expected.removed = 1;
    expected.entries_changed = true;
    generate_successfully(expected);
    EXPECT_EQ(generated_entries(), expected_entries({snapshots[0], snapshots[2]}));
}

TEST_F(Generate, KernelLimitZeroRemovesEveryEntryAndObject) {
    take_snapshots(3);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    const std::string ordinary = source_tree();

    machine().write_config("SNAPSHOT_KERNEL_LIMIT=0\n");
    Summary expected = deployed(3, 0);
    expected.boot_gc_objects = 3;
    expected.boot_gc_bytes = source_.total_bytes();
    expected.entries_changed = true;
    generate_successfully(expected);

    EXPECT_TRUE(generated_entries().empty());
    EXPECT_TRUE(stored_objects(boot_store()).empty());
    // The archive keeps the snapshots; only the boot side is emptied.
    EXPECT_EQ(stored_objects(archive_store()), source_.objects());
    EXPECT_EQ(source_tree(), ordinary);
}

TEST_F(Generate, TooLittleBootSpaceChangesNothing) {
    std::vector<Snapshot> snapshots = take_snapshots(3);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));

    // A new kernel version with assets of its own, and a snapshot that needs them.
    EntrySpec newer = standard_entry();
    newer.version = "6.1.0-2-amd64";
    newer.kernel_size = 8192;
    newer.initrd_size = 32768;
    const SourceEntry updated = write_source_entry(newer);
    snapshots.push_back(take_snapshot(4));
    // Leave less room than the new objects plus the transaction allowance need.
    const std::uint64_t free_before = boot_free_bytes();
    const std::uint64_t filler = free_before - 512 * 1024;
    ASSERT_EQ(machine().run({"fallocate", "-l", std::to_string(filler), "/boot/filler"}).exit_code,
              0);
    const std::string boot = describe_tree(machine().in_root("/boot"), kEveryChange);

    const ProgramResult refused = snapwright({"generate"});
    std::uint64_t entry_bytes = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        entry_bytes += entry_text(snapshots[i], source_).size();
    }
    entry_bytes += entry_text(snapshots[3], updated).size();
    const std::uint64_t need = 1048576 + 3 * entry_bytes + updated.total_bytes();
    expect_failure(refused, "",
                   "snapwright: boot filesystem has insufficient temporary space: need " +
                       std::to_string(need) + " bytes, have " + std::to_string(boot_free_bytes()) +
                       "; existing systemd-boot snapshot entries were not changed\n");
    EXPECT_EQ(describe_tree(machine().in_root("/boot"), kEveryChange), boot);
    expect_nothing_held();
}

// Adding a snapshot leaves the entries whose text did not change as they were, not even
// renamed over with the same bytes: on FAT every replacing rename puts the live entry at risk.
TEST_F(Generate, NewSnapshotLeavesUnchangedEntriesUntouched) {
    const std::vector<Snapshot> snapshots = take_snapshots(2);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    const auto identity = [&](const Snapshot& snapshot) {
        const struct stat st = status_of(entry_directory() / entry_name(snapshot));
        return std::vector<long>{static_cast<long>(st.st_ino), st.st_mtim.tv_sec,
                                 st.st_mtim.tv_nsec};
    };
    const auto kept = identity(snapshots[0]);
    const auto kept_too = identity(snapshots[1]);

    const Snapshot added = take_snapshot(3);
    Summary expected = deployed(3, 3);
    expected.created = 1;
    expected.entries_changed = true;
    generate_successfully(expected);
    EXPECT_EQ(generated_entries(), expected_entries({snapshots[0], snapshots[1], added}));
    EXPECT_EQ(identity(snapshots[0]), kept);
    EXPECT_EQ(identity(snapshots[1]), kept_too);
}

// A copy killed before its rename leaves its temporary in the boot store; on a nearly full
// boot partition it must not fail the space check of the runs after it.
TEST_F(Generate, TemporaryOfAKilledCopyGoesBeforeTheSpaceCheck) {
    take_snapshots(1);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    const std::string object = "/boot" + boot_path(source_.initrd);
    const std::string planted =
        fs::path(object).parent_path().string() + "/." + source_.initrd + ".tmp-4194303-0";
    const std::uint64_t size = boot_free_bytes() - 512 * 1024;
    ASSERT_EQ(machine().run({"fallocate", "-l", std::to_string(size), planted}).exit_code, 0);

    generate_successfully(deployed(1, 1));
    EXPECT_FALSE(fs::exists(machine().in_root(planted)));
    EXPECT_EQ(stored_objects(boot_store()), source_.objects());
}

// The foreign file takes the name that is written last, so a run that checked each name only
// right before writing it would already have copied the objects and written the other entry.
TEST_F(Generate, RefusesToOverwriteAForeignFileWithAGeneratedName) {
    const std::vector<Snapshot> snapshots = take_snapshots(2);
    const std::string last = std::max(entry_name(snapshots[0]), entry_name(snapshots[1]));
    write_file(entry_directory() / last, "title Somebody else's entry\nlinux /vmlinuz\n");
    const std::string boot = describe_tree(machine().in_root("/boot"), kEveryChange);

    const ProgramResult refused = snapwright({"generate"});
    expect_failure(refused, "",
                   "snapwright: refusing to overwrite unowned systemd-boot entry "
                   "/boot/loader/entries/" +
                       last + "\n");
    EXPECT_EQ(describe_tree(machine().in_root("/boot"), kEveryChange), boot);
    expect_nothing_held();

    // Nothing converges over it either: the next run refuses the same way.
    const ProgramResult again = snapwright({"generate"});
    EXPECT_EQ(again.err, refused.err);
    EXPECT_EQ(describe_tree(machine().in_root("/boot"), kEveryChange), boot);
}

// A rotation deletes a snapshot and takes a new one under the same name, here with a kernel
// upgrade in between; later a plain directory takes the name.
TEST_F(Generate, NameTakenAgainKeepsNothingOfTheSnapshotThatHadIt) {
    const Snapshot old = take_snapshot(1);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    const auto archived = [&](const Snapshot& snapshot) {
        return fs::exists(archive_store() / "snapshots" / machine().filesystem_uuid() /
                          "btrfs/root" / snapshot.uuid);
    };

    delete_snapshot(1);
    EntrySpec upgraded = standard_entry();
    upgraded.version = "6.1.0-2-amd64";
    upgraded.kernel_size = 8192;
    const SourceEntry newer = write_source_entry(upgraded);
    const Snapshot renewed = take_snapshot(1);
    ASSERT_NE(renewed.uuid, old.uuid);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    EXPECT_EQ(
        generated_entries(),
        (std::map<std::string, std::string>{{entry_name(renewed), entry_text(renewed, newer)}}));
    EXPECT_FALSE(archived(old));

    delete_snapshot(1);
    fs::create_directories(machine().in_top_level("@/.snapshots/1/snapshot/boot"));
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    EXPECT_TRUE(generated_entries().empty());
    EXPECT_FALSE(archived(renewed));
}

// A btrfs whose listing format this program does not know must not pass for "no snapshots".
TEST_F(Generate, UnreadableListingChangesNothing) {
    take_snapshots(2);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    write_file(machine().in_root("/opt/fake-btrfs/btrfs"),
               "#!/bin/sh\n"
               "if [ \"$2\" = list ]; then printf '261\\t@/.snapshots/1/snapshot\\n'; "
               "exit 0; fi\n"
               "exec /usr/bin/btrfs \"$@\"\n",
               0755);
    const std::string boot = describe_tree(machine().in_root("/boot"), kEveryChange);
    const std::string archive = describe_tree(archive_store(), kEveryChange);

    expect_failure(snapwright({"generate"}, {"PATH=/opt/fake-btrfs:/usr/sbin:/usr/bin:/sbin:/bin"}),
                   "", "snapwright: invalid btrfs subvolume row: 261\t@/.snapshots/1/snapshot\n");
    EXPECT_EQ(describe_tree(machine().in_root("/boot"), kEveryChange), boot);
    EXPECT_EQ(describe_tree(archive_store(), kEveryChange), archive);
    expect_nothing_held();
}

// Two kernel sets, of which the asset limit first lets only one reach the boot partition; the
// other set's objects are then all new, and the last of them to be copied is corrupt.
TEST_F(Generate, CopyFailureRemovesOnlyTheObjectsThisRunCopied) {
    EntrySpec second = standard_entry();
    second.file_name = "test-os-lts.conf";
    second.title = "Test OS LTS";
    second.version = "5.10.0-30-amd64";
    second.kernel_size = 5120;
    second.microcode_size = 2048;
    second.initrd_size = 20480;
    const SourceEntry lts = write_source_entry(second);
    take_snapshots(2);

    const std::uint64_t one_set = std::max(source_.total_bytes(), lts.total_bytes());
    machine().write_config("SNAPSHOT_ASSET_LIMIT_BYTES=" + std::to_string(one_set) + "\n");
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    const auto deployed_before = stored_objects(boot_store());
    ASSERT_EQ(deployed_before.size(), 3u);
    const SourceEntry& missing = deployed_before.contains(source_.kernel) ? lts : source_;
    const auto missing_objects = missing.objects();
    const std::string last = missing_objects.rbegin()->first;
    const fs::path archived = archive_store() / "objects/sha256" / last.substr(0, 2) / last;
    const std::string original = read_file(archived);
    std::string corrupt = original;
    corrupt[corrupt.size() / 2] ^= 0x55;
    write_file(archived, corrupt, 0444);
    // The fan-out directories made for the new objects go again, which touches their parent's
    // time stamp; inode numbers still show any file that was replaced.
    constexpr TreeOptions kFiles{.content = true, .mtimes = false, .inodes = true};
    const std::string boot = describe_tree(machine().in_root("/boot"), kFiles);
    const std::string entries = describe_tree(entry_directory(), kEveryChange);

    machine().write_config("");
    expect_failure(snapwright({"generate"}), "",
                   "snapwright: source object is missing or corrupted: sha256:" + last + "\n");
    EXPECT_EQ(describe_tree(machine().in_root("/boot"), kFiles), boot);
    EXPECT_EQ(describe_tree(entry_directory(), kEveryChange), entries);
    expect_nothing_held();

    // Once the archive copy is sound again the same run deploys both sets.
    write_file(archived, original, 0444);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));
    EXPECT_EQ(stored_objects(boot_store()).size(), 6u);
}

// A link anywhere on the way to the objects would let copies land outside the boot store.
class LinkedDataDirectory : public Generate, public ::testing::WithParamInterface<std::string> {};

TEST_P(LinkedDataDirectory, IsRefusedBeforeAnythingIsCopied) {
    take_snapshots(1);
    std::string link = "/boot/snapwright" + GetParam();
    if (const auto at = link.find("<machine-id>"); at != std::string::npos) {
        link.replace(at, 12, machine_id());
    }
    fs::create_directories(machine().in_root(link).parent_path());
    fs::create_directory(machine().in_root("/tmp/x"));
    fs::create_directory_symlink("/tmp/x", machine().in_root(link));
    const std::string boot = describe_tree(machine().in_root("/boot"), kEveryChange);

    expect_failure(snapwright({"generate"}), "",
                   "snapwright: refusing to traverse non-directory path " + link + "\n");
    EXPECT_TRUE(fs::is_empty(machine().in_root("/tmp/x")));
    EXPECT_EQ(describe_tree(machine().in_root("/boot"), kEveryChange), boot);
    expect_nothing_held();
}

INSTANTIATE_TEST_SUITE_P(AtEveryLevel, LinkedDataDirectory,
                         ::testing::Values("", "/<machine-id>", "/<machine-id>/objects",
                                           "/<machine-id>/objects/sha256"),
                         [](const auto& info) { return "Level" + std::to_string(info.index); });

}  // namespace
}  // namespace snapwright::testing
