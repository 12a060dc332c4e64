#include "generation/archive_capture.hpp"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "bootloader/entry_parser.hpp"
#include "bootloader/render.hpp"
#include "manifest/archive_gc.hpp"
#include "manifest/manifest_store.hpp"
#include "store/object_store.hpp"
#include "store/object_walk.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/manifest_builders.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::generation {
namespace {

using manifest::list_manifests;
using manifest::save_manifest;
using manifest::snapshot_directory;
using manifest::SnapshotManifest;
using snapwright::testing::error_of;
using snapwright::testing::read_file;
using snapwright::testing::ScratchDir;
using snapwright::testing::write_file;
namespace fs = std::filesystem;

const std::string kUuid = "0f5c6a1e-7d2b-4c3a-9e8f-112233445566";

class Capture : public ::testing::Test {
  protected:
    Capture() {
        write_file(boot() / "vmlinuz-linux", "kernel bytes");
        write_file(boot() / "intel-ucode.img", "microcode bytes");
        write_file(boot() / "initramfs-linux.img", "initramfs bytes");
        entries_.push_back(bootloader::parse_entry("arch.conf", kEntryText));
    }

    fs::path boot() const { return dir_ / "boot"; }
    fs::path archive() const { return dir_ / "archive"; }

    static provider::SnapshotDescriptor snapshot(const std::string& id,
                                                 const std::string& provider = "snapper") {
        provider::SnapshotDescriptor descriptor;
        descriptor.key = {kUuid, provider, "root", id};
        descriptor.created_utc = "2024-03-0" + id;
        descriptor.subvolume = "/.snapshots/" + id + "/snapshot";
        descriptor.properties = {{"path", ".snapshots/" + id + "/snapshot"}};
        return descriptor;
    }

    CaptureInputs inputs(std::vector<provider::SnapshotDescriptor> snapshots,
                         const std::string& provider = "snapper") const {
        CaptureInputs in;
        in.snapshots = std::move(snapshots);
        in.scope = {kUuid, provider, "root"};
        in.machine_id = "m1";
        in.os_name = "Arch Linux";
        in.entries = entries_;
        in.boot_root = boot();
        in.archive_root = archive();
        in.kernel_parameters = "";
        in.boot_data_relative = "snapwright/m1";
        return in;
    }

    // A capture that is a run of its own, with a fresh record of what it hashed.
    static CaptureResult capture(const CaptureInputs& in) {
        store::HashCache hashes;
        return capture_archive(in, hashes);
    }

    std::vector<std::string> archived_ids() const {
        std::vector<std::string> ids;
        for (const auto& manifest : list_manifests(archive())) {
            ids.push_back(manifest.snapshot.key.snapshot_id);
        }
        return ids;
    }

    static constexpr const char* kEntryText =
        "title Arch Linux\n"
        "machine-id m1\n"
        "sort-key arch\n"
        "linux /vmlinuz-linux\n"
        "initrd /intel-ucode.img\n"
        "initrd /initramfs-linux.img\n"
        "options root=UUID=x rw rootflags=subvol=@\n";

    ScratchDir dir_;
    std::vector<bootloader::BootEntry> entries_;
};

TEST_F(Capture, FirstRunCreatesManifestsAndSecondRunChangesNothing) {
    const auto snapshots = std::vector{snapshot("1"), snapshot("2"), snapshot("3")};
    EXPECT_EQ(capture(inputs(snapshots)).counts, (CaptureCounts{3, 0, 0, 9}));

    const auto manifests = list_manifests(archive());
    ASSERT_EQ(manifests.size(), 3u);
    const auto& profile = manifests[0].profiles.at(0);
    EXPECT_EQ(profile.name, "Arch Linux");
    EXPECT_EQ(profile.protocol, "linux");
    EXPECT_EQ(profile.kernel.original_name, "vmlinuz-linux");
    EXPECT_EQ(profile.kernel.size, std::string("kernel bytes").size());
    ASSERT_EQ(profile.modules.size(), 2u);
    EXPECT_EQ(profile.modules[0].kind, store::AssetKind::Microcode);
    EXPECT_EQ(profile.modules[1].kind, store::AssetKind::Initramfs);
    EXPECT_EQ(profile.cmdline, "root=UUID=x rw rootflags=subvol=/.snapshots/1/snapshot");
    EXPECT_EQ(profile.options,
              (std::map<std::string, std::vector<std::string>>{{"sort-key", {"arch"}}}));
    EXPECT_EQ(manifests[0].machine_id, "m1");
    EXPECT_EQ(manifests[0].os_name, "Arch Linux");
    EXPECT_EQ(manifests[0].source_config,
              "# source-entry: arch.conf\n" + std::string(kEntryText) + "\n");
    EXPECT_EQ(store::store_statistics(archive()).objects, 3u);

    const fs::path fragment = snapshot_directory(archive(), snapshot("2").key) / "fragment.conf";
    const auto rendered = bootloader::render_entries({manifests[1]}, "snapwright/m1");
    ASSERT_EQ(rendered.size(), 1u);
    EXPECT_EQ(read_file(fragment), rendered[0].text);

    // Without entries and boot files a new snapshot could not be captured; none is new.
    for (const char* name : {"vmlinuz-linux", "intel-ucode.img", "initramfs-linux.img"}) {
        fs::remove(boot() / name);
    }
    entries_.clear();
    EXPECT_EQ(capture(inputs(snapshots)).counts, (CaptureCounts{0, 0, 0, 0}));
    EXPECT_EQ(list_manifests(archive()), manifests);
}

// Every new snapshot of one run imports the same files: each is read once, unless it changed.
TEST_F(Capture, RunHashesEachSourceOnceUntilItIsReplaced) {
    store::HashCache hashes;
    CaptureInputs first = inputs({snapshot("1"), snapshot("2")});
    ASSERT_EQ(capture_archive(first, hashes).counts.created, 2u);
    EXPECT_EQ(hashes.files_hashed(), 3u);

    // Rewritten in place with as many bytes, and replaced by another file.
    write_file(boot() / "intel-ucode.img", "microcode BYTES");
    write_file(boot() / "initramfs-linux.new", "initramfs bytes, newer");
    fs::rename(boot() / "initramfs-linux.new", boot() / "initramfs-linux.img");
    CaptureInputs second = inputs({snapshot("1"), snapshot("2"), snapshot("3")});
    ASSERT_EQ(capture_archive(second, hashes).counts.created, 1u);
    EXPECT_EQ(hashes.files_hashed(), 5u);
    const auto manifests = list_manifests(archive());
    ASSERT_EQ(manifests.size(), 3u);
    EXPECT_EQ(manifests[2].profiles[0].kernel, manifests[0].profiles[0].kernel);
    EXPECT_EQ(manifests[2].profiles[0].modules[0].object.digest,
              store::hash_file(boot() / "intel-ucode.img"));
    EXPECT_EQ(manifests[2].profiles[0].modules[1].object.digest,
              store::hash_file(boot() / "initramfs-linux.img"));
    EXPECT_EQ(manifests[2].profiles[0].modules[1].size, 22u);
    EXPECT_EQ(store::store_statistics(archive()).objects, 5u);
}

TEST_F(Capture, ChangedDescriptorIsUpdatedKeepingProfiles) {
    auto snapshots = std::vector{snapshot("1"), snapshot("2")};
    auto in = inputs(snapshots);
    in.kernel_parameters = "  quiet  ";
    ASSERT_EQ(capture(in).counts, (CaptureCounts{2, 0, 0, 6}));
    const auto before = list_manifests(archive());
    EXPECT_EQ(before[0].profiles[0].cmdline,
              "root=UUID=x rw rootflags=subvol=/.snapshots/1/snapshot quiet");

    in.snapshots[0].description = "before upgrade";
    in.snapshots[1].subvolume = "/moved/2";
    in.entries.clear();
    EXPECT_EQ(capture(in).counts, (CaptureCounts{0, 2, 0, 0}));
    const auto after = list_manifests(archive());
    EXPECT_EQ(after[0].snapshot, in.snapshots[0]);
    EXPECT_EQ(after[0].profiles, before[0].profiles);
    EXPECT_EQ(after[1].profiles[0].cmdline, "root=UUID=x rw rootflags=subvol=/moved/2 quiet");
    EXPECT_EQ(after[1].profiles[0].kernel, before[1].profiles[0].kernel);
    EXPECT_NE(read_file(snapshot_directory(archive(), in.snapshots[1].key) / "fragment.conf")
                  .find("# subvolume=/moved/2\n"),
              std::string::npos);
}

TEST_F(Capture, BlankKernelParametersAddNothing) {
    auto in = inputs({snapshot("1")});
    in.kernel_parameters = " \t ";
    (void)capture(in);
    EXPECT_EQ(list_manifests(archive())[0].profiles[0].cmdline,
              "root=UUID=x rw rootflags=subvol=/.snapshots/1/snapshot");
}

TEST_F(Capture, VanishedSnapshotIsRemovedOtherSystemsSurvive) {
    ASSERT_EQ(capture(inputs({snapshot("1"), snapshot("2")})).counts.created, 2u);
    SnapshotManifest foreign =
        snapwright::testing::sample_manifest({kUuid, "snapper", "root", "7"});
    foreign.machine_id = "other-machine";
    save_manifest(archive(), foreign);
    SnapshotManifest other_os =
        snapwright::testing::sample_manifest({kUuid, "snapper", "root", "8"});
    other_os.os_name = "Fedora";
    save_manifest(archive(), other_os);
    // This machine and OS, another instance: not among the current keys, so it goes too.
    save_manifest(archive(), snapwright::testing::sample_manifest({kUuid, "snapper", "home", "1"}));

    const CaptureResult result = capture(inputs({snapshot("1")}));
    EXPECT_EQ(result.counts, (CaptureCounts{0, 0, 2, 0}));
    EXPECT_EQ(archived_ids(), (std::vector<std::string>{"1", "7", "8"}));
    EXPECT_EQ(result.archive.manifests, 3u);
    EXPECT_EQ(result.archive.other_os_manifests,
              (std::map<std::string, std::uint64_t>{{"Fedora", 1}}));
    EXPECT_EQ(result.own.size(), 1u);
    EXPECT_EQ(result.archive.references, manifest::referenced_objects(list_manifests(archive())));
    EXPECT_FALSE(fs::exists(archive() / "snapshots" / kUuid / "snapper" / "home"));

    EXPECT_EQ(capture(inputs({})).counts, (CaptureCounts{0, 0, 1, 0}));
    EXPECT_EQ(archived_ids(), (std::vector<std::string>{"7", "8"}));
    EXPECT_TRUE(fs::is_directory(archive() / "snapshots"));
}

TEST_F(Capture, RefusesAnotherScopeBeforeChangingAnything) {
    ASSERT_EQ(capture(inputs({snapshot("1")})).counts.created, 1u);
    auto stranger = snapshot("2");
    stranger.key.instance = "home";
    EXPECT_EQ(error_of([&] {
                  (void)capture(inputs({snapshot("3"), stranger}));
              }),
              "one reconciliation run may contain only one provider scope");
    EXPECT_EQ(archived_ids(), (std::vector<std::string>{"1"}));
}

TEST_F(Capture, NewSnapshotWithoutSourceEntryChangesNothing) {
    ASSERT_EQ(capture(inputs({snapshot("1")})).counts.created, 1u);
    entries_ = {bootloader::parse_entry("other.conf",
                                        "title Other\nmachine-id m2\nlinux /vmlinuz-linux\n")};
    EXPECT_EQ(error_of([&] { (void)capture(inputs({snapshot("2")})); }),
              "no ordinary systemd-boot Linux entries were found for machine m1");
    EXPECT_EQ(archived_ids(), (std::vector<std::string>{"1"}));
}

TEST_F(Capture, UnsafeAssetPathIsRefusedAndNothingIsSaved) {
    bootloader::BootEntry entry = entries_[0];
    entry.initrd = {"/../etc/shadow"};
    entries_ = {entry};
    EXPECT_EQ(error_of([&] { (void)capture(inputs({snapshot("1")})); }),
              "unsafe systemd-boot asset path: /../etc/shadow");
    EXPECT_TRUE(list_manifests(archive()).empty());
}

TEST_F(Capture, RepairsMissingOrStaleSourceConfigWithoutCountingAnUpdate) {
    ASSERT_EQ(capture(inputs({snapshot("1"), snapshot("2")})).counts.created, 2u);
    const fs::path one = snapshot_directory(archive(), snapshot("1").key) / "source.conf";
    const fs::path two = snapshot_directory(archive(), snapshot("2").key) / "source.conf";
    const std::string expected = read_file(one);
    fs::remove(one);
    write_file(two, "stale\n");
    write_file(snapshot_directory(archive(), snapshot("2").key) / "fragment.conf", "edited\n");

    EXPECT_EQ(capture(inputs({snapshot("1"), snapshot("2")})).counts, (CaptureCounts{0, 0, 0, 0}));
    EXPECT_EQ(read_file(one), expected);
    EXPECT_EQ(read_file(two), expected);
    EXPECT_NE(read_file(snapshot_directory(archive(), snapshot("2").key) / "fragment.conf"),
              "edited\n");
}

}  // namespace
}  // namespace snapwright::generation
