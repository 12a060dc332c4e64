#include "manifest/legacy_migration.hpp"

#include <string>

#include <gtest/gtest.h>

#include "manifest/archive_gc.hpp"
#include "manifest/manifest_store.hpp"
#include "store/object_store.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/manifest_builders.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::manifest {
namespace {

using testing::error_of;
using testing::key;
using testing::read_file;
using testing::sample_manifest;
using testing::ScratchDir;
using testing::write_file;

// An archive root and a boot data root that may hold the older layout.
class ArchiveMaintenance : public ::testing::Test {
  protected:
    fs::path archive() const { return dir_ / "archive"; }
    fs::path legacy() const { return dir_ / "boot-data"; }

    // A manifest of `k` whose one profile names objects imported into `root` from files with
    // the given contents.
    SnapshotManifest stored_manifest(const fs::path& root, const provider::SnapshotKey& k,
                                     const std::string& kernel, const std::string& initramfs) {
        write_file(dir_ / "src" / "vmlinuz", kernel);
        write_file(dir_ / "src" / "initramfs.img", initramfs);
        SnapshotManifest manifest = sample_manifest(k);
        manifest.profiles[0].kernel =
            store::import_asset(root, dir_ / "src" / "vmlinuz", store::AssetKind::Kernel);
        manifest.profiles[0].modules = {
            store::import_asset(root, dir_ / "src" / "initramfs.img", store::AssetKind::Initramfs)};
        return manifest;
    }

    static std::vector<store::ObjectId> objects_of(const SnapshotManifest& manifest) {
        return {manifest.profiles[0].kernel.object, manifest.profiles[0].modules[0].object};
    }

    ScratchDir dir_;
};

TEST_F(ArchiveMaintenance, MigrationCopiesEveryObjectButSavesOnlyWhatTheArchiveLacks) {
    const SnapshotManifest archived = stored_manifest(archive(), key("1"), "kernel-a", "initrd-a");
    save_manifest(archive(), archived);
    // The legacy record of snapshot 1 names other objects than the archived one.
    const SnapshotManifest legacy_one = stored_manifest(legacy(), key("1"), "kernel-b", "initrd-b");
    save_manifest(legacy(), legacy_one);
    SnapshotManifest legacy_two_record =
        stored_manifest(legacy(), key("2"), "kernel-c", "initrd-c");
    legacy_two_record.source_config = "from json";
    const SnapshotManifest& legacy_two = legacy_two_record;
    save_manifest(legacy(), legacy_two);
    write_file(snapshot_directory(legacy(), key("2")) / "source.conf", "from file\n");
    write_fragment(legacy(), key("2"), "title legacy entry\n");

    migrate_legacy_manifests(archive(), legacy());

    for (const auto* manifest : {&archived, &legacy_one, &legacy_two}) {
        for (const auto& id : objects_of(*manifest)) {
            EXPECT_TRUE(store::verify_object(archive(), id)) << id.digest;
        }
    }
    EXPECT_EQ(list_manifests(archive())[0], archived);
    SnapshotManifest expected_two = legacy_two;
    expected_two.source_config = "from file\n";
    EXPECT_EQ(load_manifest(archive(), key("2")), expected_two);
    EXPECT_EQ(read_file(snapshot_directory(archive(), key("2")) / "fragment.conf"),
              "title legacy entry\n");
    EXPECT_FALSE(fs::exists(snapshot_directory(archive(), key("1")) / "fragment.conf"));

    // A second run changes nothing and does not fail.
    migrate_legacy_manifests(archive(), legacy());
    EXPECT_EQ(list_manifests(archive()).size(), 2u);
}

TEST_F(ArchiveMaintenance, MigrationWithoutLegacyTreeDoesNothing) {
    migrate_legacy_manifests(archive(), legacy());
    EXPECT_FALSE(fs::exists(archive()));
    EXPECT_TRUE(legacy_referenced_objects(legacy()).empty());
    remove_legacy_manifests(legacy());
}

TEST_F(ArchiveMaintenance, MigrationStopsAtAMissingLegacyObject) {
    const SnapshotManifest legacy_one = stored_manifest(legacy(), key("1"), "kernel", "initrd");
    save_manifest(legacy(), legacy_one);
    const store::ObjectId lost = legacy_one.profiles[0].modules[0].object;
    ASSERT_TRUE(store::remove_object(legacy(), lost));

    EXPECT_EQ(error_of([&] { migrate_legacy_manifests(archive(), legacy()); }),
              "source object is missing or corrupted: sha256:" + lost.digest);
    EXPECT_TRUE(list_manifests(archive()).empty());
}

TEST_F(ArchiveMaintenance, MigrationRefusesALinkedLegacyTreeBeforeCopyingAnything) {
    // The link points at a tree that would otherwise migrate cleanly.
    const fs::path elsewhere = dir_ / "elsewhere";
    save_manifest(elsewhere, stored_manifest(elsewhere, key("1"), "kernel", "initrd"));
    fs::create_directories(legacy());
    fs::create_directory_symlink(elsewhere / "snapshots", legacy() / "snapshots");
    const std::string refused = "refusing to remove non-directory legacy manifest path " +
                                (legacy() / "snapshots").string();

    EXPECT_EQ(error_of([&] { migrate_legacy_manifests(archive(), legacy()); }), refused);
    EXPECT_FALSE(fs::exists(archive()));
    EXPECT_EQ(error_of([&] { remove_legacy_manifests(legacy()); }), refused);
    EXPECT_TRUE(fs::exists(elsewhere / "snapshots"));
}

TEST_F(ArchiveMaintenance, LegacyRemovalDeletesTheTreeAndKeepsObjects) {
    const SnapshotManifest legacy_one = stored_manifest(legacy(), key("1"), "kernel", "initrd");
    save_manifest(legacy(), legacy_one);
    const auto referenced = legacy_referenced_objects(legacy());
    EXPECT_EQ(referenced,
              (std::set<store::ObjectId>{objects_of(legacy_one)[0], objects_of(legacy_one)[1]}));

    remove_legacy_manifests(legacy());
    EXPECT_FALSE(fs::exists(legacy() / "snapshots"));
    EXPECT_TRUE(store::verify_object(legacy(), objects_of(legacy_one)[0]));
    EXPECT_TRUE(legacy_referenced_objects(legacy()).empty());

    write_file(legacy() / "snapshots", "a file");
    EXPECT_EQ(error_of([&] { remove_legacy_manifests(legacy()); }),
              "refusing to remove non-directory legacy manifest path " +
                  (legacy() / "snapshots").string());
}

TEST_F(ArchiveMaintenance, GarbageCollectionDropsObjectsOfRemovedManifests) {
    const SnapshotManifest one = stored_manifest(archive(), key("1"), "kernel", "initrd-1");
    const SnapshotManifest two = stored_manifest(archive(), key("2"), "kernel", "initrd-2");
    save_manifest(archive(), one);
    save_manifest(archive(), two);
    EXPECT_EQ(referenced_objects({one, two}).size(), 3u);

    const auto nothing = collect_archive_garbage(archive());
    EXPECT_EQ(nothing.removed_objects, 0u);

    ASSERT_TRUE(remove_manifest(archive(), key("2")));
    const auto collected = collect_archive_garbage(archive());
    EXPECT_EQ(collected.removed_objects, 1u);
    EXPECT_EQ(collected.removed_bytes, std::string("initrd-2").size());
    const store::ObjectId gone = two.profiles[0].modules[0].object;
    EXPECT_FALSE(fs::exists(store::object_path(archive(), gone).parent_path()));
    for (const auto& id : objects_of(one)) {
        EXPECT_TRUE(store::verify_object(archive(), id));
    }
}

TEST_F(ArchiveMaintenance, GarbageCollectionDeletesNothingWhenAManifestNamesAnInvalidId) {
    SnapshotManifest one = stored_manifest(archive(), key("1"), "kernel", "initrd");
    save_manifest(archive(), one);
    write_file(dir_ / "src" / "stray", "stray");
    const auto stray =
        store::import_asset(archive(), dir_ / "src" / "stray", store::AssetKind::Other);
    one.profiles[0].modules.push_back(
        {{"SHA256", std::string(64, 'a')}, store::AssetKind::Other, "x", 1});
    save_manifest(archive(), one);

    EXPECT_EQ(error_of([&] { (void)collect_archive_garbage(archive()); }),
              "unsupported object hash algorithm: SHA256");
    EXPECT_TRUE(store::verify_object(archive(), stray.object));
}

}  // namespace
}  // namespace snapwright::manifest
