// The Btrfs provider reads subvolume facts through the library rather than from
// `btrfs subvolume show`; on real subvolumes they must come out exactly as the tool prints them.

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/machine_fixture.hpp"
#include "generation/archive_capture.hpp"
#include "manifest/manifest_store.hpp"
#include "provider/btrfs/btrfs_provider.hpp"
#include "support/manifest_builders.hpp"
#include "support/run_program.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"
#include "system/subvolume_facts.hpp"

namespace snapwright::testing {
namespace {

using provider::btrfs::BtrfsProvider;

std::map<std::string, std::string> shown(const fs::path& path) {
    return subvolume_show_values(run_on_host({"btrfs", "subvolume", "show", path.string()}));
}

// Snapshots of "@" made a second apart, read-only and writable, one without "boot" and one of
// another subvolume; in a zone east of UTC so that local time and the zone suffix both show.
class BtrfsFacts : public MachineTest {
  protected:
    void prepare() override {
        machine().create_snapshot("@/.snapshots/1/snapshot");
        write_file(machine().in_top_level("@/.snapshots/1/info.xml"),
                   "<type>single</type><description>first</description>");
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        machine().create_snapshot("@/.snapshots/2/snapshot", {.read_only = false});
        machine().create_snapshot("@/.snapshots/3/snapshot", {.with_boot = false});
        machine().create_subvolume("other");
        fs::create_directories(machine().in_top_level("other/boot"));
        machine().create_snapshot("@/.snapshots/4/snapshot", {.source = "other"});
    }

    BtrfsProvider provider(std::uint64_t limit = provider::btrfs::kNoLimit) const {
        BtrfsProvider p(machine().filesystem_uuid(), machine().top_level(), limit);
        p.set_root_subvolume_uuid(machine().root_subvolume_uuid());
        return p;
    }

    ScopedEnv zone_{"TZ", "IST-5:30"};
};

TEST_F(BtrfsFacts, AgreeWithSubvolumeShowForEveryKindOfSubvolume) {
    for (const char* relative : {"", "@", "@/.snapshots/1/snapshot", "@/.snapshots/2/snapshot",
                                 "@/.snapshots/4/snapshot", "other"}) {
        const fs::path path = machine().in_top_level(relative);
        const auto show = shown(path);
        const auto facts = system::read_subvolume_facts(path);
        ASSERT_TRUE(facts) << relative;
        EXPECT_EQ(facts->uuid, show.at("UUID")) << relative;
        EXPECT_EQ(facts->parent_uuid, show.at("Parent UUID")) << relative;
        EXPECT_EQ(facts->creation_time, show.at("Creation time")) << relative;
        EXPECT_EQ(facts->read_only, show.at("Flags") == "readonly") << relative;
    }
    EXPECT_EQ(system::read_subvolume_facts(machine().in_top_level("@/.snapshots/1")), std::nullopt);
}

TEST_F(BtrfsFacts, ProviderDescribesSnapshotsAsSubvolumeShowDoes) {
    // A line that a snapshot name with a line break could print: a whole row naming snapshot 1's
    // path with another UUID. The subvolume at that path does not confirm it.
    const ScratchDir tools;
    write_script(tools.path(), "btrfs",
                 "PATH=/usr/sbin:/usr/bin:/sbin:/bin btrfs \"$@\" || exit\n"
                 "[ \"$2\" != list ] || echo 'ID 999 gen 9 cgen 9 top level 5 otime 2001-01-01 "
                 "00:00:00 parent_uuid " +
                     machine().root_subvolume_uuid() +
                     " received_uuid - uuid 11111111-2222-3333-4444-555555555555 path "
                     "@/.snapshots/1/snapshot'\n");
    const FakeToolPath path(tools.path());

    const auto listed = provider().list_snapshots();
    ASSERT_EQ(listed.size(), 2u);
    for (const auto& descriptor : listed) {
        const auto show = shown(machine().top_level() / descriptor.properties.at("path"));
        EXPECT_EQ(descriptor.created_utc, show.at("Creation time"));
        EXPECT_EQ(descriptor.properties.at("readonly"),
                  show.at("Flags") == "readonly" ? "true" : "false");
        EXPECT_EQ(descriptor.key.snapshot_id, show.at("UUID"));
    }
    EXPECT_LT(listed[0].created_utc, listed[1].created_utc);
    EXPECT_EQ(listed[0].description, "first");
    EXPECT_EQ(listed[0].properties.at("source"), "snapper");
    EXPECT_EQ(listed[0].properties.at("type"), "single");
    EXPECT_EQ(listed[0].properties.at("readonly"), "true");
    EXPECT_EQ(listed[1].subvolume, "/@/.snapshots/2/snapshot");
    EXPECT_EQ(listed[1].properties,
              (provider::SnapshotProperties{
                  {"path", "@/.snapshots/2/snapshot"},
                  {"readonly", "false"},
                  {"rootid", std::string(listed[1].properties.at("rootid"))},
                  {"snapshot", "2"},
                  {"source", "manual"},
                  {"type", ""},
                  {"uuid", machine().subvolume_uuid("@/.snapshots/2/snapshot")}}));

    // Rows arrive newest first; the snapshot of "other" and the one without "boot" are passed
    // over without counting toward the limit.
    const auto newest = provider(1).list_snapshots();
    ASSERT_EQ(newest.size(), 1u);
    EXPECT_EQ(newest[0].properties.at("snapshot"), "2");
}

// After a rollback the listing no longer reports the old root's snapshots; their manifests stay
// while the recorded path still holds the recorded subvolume.
TEST_F(BtrfsFacts, UnlistedManifestStaysOnlyWhileItsSubvolumeExists) {
    const ScratchDir archive;
    const std::string filesystem = machine().filesystem_uuid();
    const auto save = [&](const std::string& instance, const std::string& id,
                          const std::string& path, const std::string& uuid) {
        manifest::SnapshotManifest manifest = sample_manifest({filesystem, "btrfs", instance, id});
        manifest.snapshot.properties = {{"path", path}, {"uuid", uuid}};
        manifest::save_manifest(archive.path(), manifest);
    };
    const std::string one = machine().subvolume_uuid("@/.snapshots/1/snapshot");
    std::string upper = one;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    save("root", "1", "@/.snapshots/1/snapshot", upper);
    save("root", "2", "@/.snapshots/2/snapshot",
         machine().subvolume_uuid("@/.snapshots/2/snapshot"));
    // A plain directory where a snapshot was, another subvolume at a recorded path, a path that
    // climbs out of the top level, and a manifest of another scope: all gone.
    save("root", "5", "@/.snapshots", one);
    save("root", "6", "@/.snapshots/4/snapshot", one);
    save("root", "7",
         "../" + machine().top_level().filename().string() + "/@/.snapshots/1/snapshot", one);
    save("home", "8", "@/.snapshots/1/snapshot", one);

    generation::CaptureInputs inputs;
    inputs.scope = {filesystem, "btrfs", "root"};
    inputs.machine_id = "m1";
    inputs.os_name = "Arch Linux";
    inputs.archive_root = archive.path();
    const BtrfsProvider provider(filesystem, machine().top_level());
    inputs.unlisted_snapshot_exists = [&](const provider::SnapshotDescriptor& recorded) {
        return provider.unlisted_snapshot_exists(recorded);
    };
    store::HashCache hashes;
    EXPECT_EQ(generation::capture_archive(inputs, hashes).counts,
              (generation::CaptureCounts{0, 0, 4, 0}));
    std::vector<std::string> kept;
    for (const auto& manifest : manifest::list_manifests(archive.path())) {
        kept.push_back(manifest.snapshot.key.snapshot_id);
    }
    EXPECT_EQ(kept, (std::vector<std::string>{"1", "2"}));
}

}  // namespace
}  // namespace snapwright::testing
