#include "manifest/manifest_store.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/manifest_json.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/manifest_builders.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::manifest {
namespace {

using testing::error_of;
using testing::key;
using testing::mode_of;
using testing::read_file;
using testing::sample_manifest;
using testing::ScratchDir;
using testing::status_of;
using testing::write_file;

// Makes a file impossible to remove while the object lives: the immutable flag where the
// process may set it (root on a filesystem that has it), else a read-only parent directory
// (which stops only an unprivileged process). `active` says whether either worked.
class UndeletableFile {
  public:
    explicit UndeletableFile(fs::path file) : file_(std::move(file)) {
        const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            immutable_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) {
            ::close(fd);
        }
        if (!immutable_ && ::geteuid() != 0) {
            read_only_parent_ = ::chmod(file_.parent_path().c_str(), 0500) == 0;
        }
    }
    ~UndeletableFile() { release(); }
    UndeletableFile(const UndeletableFile&) = delete;
    UndeletableFile& operator=(const UndeletableFile&) = delete;

    bool active() const { return immutable_ || read_only_parent_; }

    // Makes the file removable again.
    void release() {
        if (immutable_) {
            const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
            int flags = 0;
            if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                (void)::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            if (fd >= 0) {
                ::close(fd);
            }
        }
        if (read_only_parent_) {
            (void)::chmod(file_.parent_path().c_str(), 0700);
        }
        immutable_ = read_only_parent_ = false;
    }

  private:
    fs::path file_;
    bool immutable_ = false;
    bool read_only_parent_ = false;
};

const std::string kUuid = "0f5c6a1e-7d2b-4c3a-9e8f-112233445566";

TEST(SnapshotDirectory, JoinsTheFourKeyComponents) {
    EXPECT_EQ(snapshot_directory("/a", key("42")),
              fs::path("/a/snapshots/" + kUuid + "/snapper/root/42"));
    EXPECT_NO_THROW((void)snapshot_directory("/a", key(std::string(128, 'x'))));
}

TEST(SnapshotDirectory, RefusesInvalidComponentsNamingTheFirst) {
    struct Case {
        provider::SnapshotKey key;
        std::string message;
    };
    const Case cases[] = {
        {key("1/2"), "invalid snapshot ID path component: 1/2"},
        {key(""), "invalid snapshot ID path component: "},
        {key(std::string(129, 'x')),
         "invalid snapshot ID path component: " + std::string(129, 'x')},
        {key("a b"), "invalid snapshot ID path component: a b"},
        {key(".."), "invalid snapshot ID path component: .."},
        {key("."), "invalid snapshot ID path component: ."},
        {key("5", "ro ot"), "invalid provider instance path component: ro ot"},
        {key("5", "root", "snap\xffper"), "invalid provider path component: snap\xEF\xBF\xBDper"},
        {key("1/2", "root", "snapper", "UU/ID"), "invalid filesystem UUID path component: UU/ID"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_of([&] { (void)snapshot_directory("/a", c.key); }), c.message);
    }
}

TEST(ManifestStore, SaveWritesManifestAndSourceConfig) {
    ScratchDir root;
    SnapshotManifest manifest = sample_manifest(key("42"));
    manifest.source_config = "abc";
    save_manifest(root.path(), manifest);

    const fs::path directory = snapshot_directory(root.path(), manifest.snapshot.key);
    EXPECT_EQ(read_file(directory / "manifest.json"), serialize_manifest(manifest));
    EXPECT_EQ(read_file(directory / "source.conf"), "abc\n");
    EXPECT_EQ(mode_of(directory / "manifest.json"), 0600u);
    EXPECT_EQ(mode_of(directory / "source.conf"), 0600u);

    // By key the companion file wins; the listing reports the document as stored.
    EXPECT_EQ(load_manifest(root.path(), manifest.snapshot.key).source_config, "abc\n");
    const auto listed = list_manifests(root.path());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0], manifest);
}

TEST(ManifestStore, LoadWithoutSourceConfigKeepsTheDocumentsText) {
    ScratchDir root;
    SnapshotManifest manifest = sample_manifest(key("42"));
    save_manifest(root.path(), manifest);
    fs::remove(snapshot_directory(root.path(), manifest.snapshot.key) / "source.conf");
    EXPECT_EQ(load_manifest(root.path(), manifest.snapshot.key), manifest);
}

TEST(ManifestStore, SaveRefusesOtherSchemasAndWritesNothing) {
    ScratchDir root;
    SnapshotManifest manifest = sample_manifest(key("42"));
    manifest.schema_version = 2;
    EXPECT_EQ(error_of([&] { save_manifest(root.path(), manifest); }),
              "cannot save unsupported manifest schema 2");
    EXPECT_FALSE(fs::exists(root / "snapshots"));
}

TEST(ManifestStore, SaveRefusesALinkOnTheWay) {
    ScratchDir root;
    fs::create_directories(root / "elsewhere");
    fs::create_directory_symlink(root / "elsewhere", root / "snapshots");
    EXPECT_EQ(error_of([&] { save_manifest(root.path(), sample_manifest(key("1"))); }),
              "refusing to traverse non-directory path " + (root / "snapshots").string());
    EXPECT_TRUE(fs::is_empty(root / "elsewhere"));
}

// Writes a manifest document straight into the layout, bypassing save_manifest's checks.
fs::path plant(const fs::path& root, const fs::path& relative, const SnapshotManifest& manifest) {
    const fs::path file = root / "snapshots" / relative / "manifest.json";
    write_file(file, serialize_manifest(manifest));
    return file;
}

fs::path key_path(const provider::SnapshotKey& k) {
    return fs::path(k.filesystem_uuid) / k.provider / k.instance / k.snapshot_id;
}

TEST(ManifestStore, LoadRejectsOtherSchemaAndForeignKey) {
    ScratchDir root;
    SnapshotManifest future = sample_manifest(key("1"));
    future.schema_version = 2;
    plant(root.path(), key_path(key("1")), future);
    EXPECT_EQ(error_of([&] { (void)load_manifest(root.path(), key("1")); }),
              "unsupported manifest schema 2");

    plant(root.path(), key_path(key("2")), sample_manifest(key("3")));
    EXPECT_EQ(error_of([&] { (void)load_manifest(root.path(), key("2")); }),
              "manifest key does not match its storage path");

    EXPECT_EQ(error_of([&] { (void)load_manifest(root.path(), key("4")); }),
              "I/O operation failed: No such file or directory (os error 2)");
}

TEST(ManifestStore, LoadReportsTheParsersCause) {
    ScratchDir root;
    write_file(snapshot_directory(root.path(), key("1")) / "manifest.json",
               "{\"schema_version\": 1}");
    EXPECT_EQ(error_of([&] { (void)load_manifest(root.path(), key("1")); }),
              "JSON operation failed: missing field `snapshot` at line 1 column 21");
}

TEST(ManifestStore, ListIsEmptyWithoutSnapshotsDirectory) {
    ScratchDir root;
    EXPECT_TRUE(list_manifests(root.path()).empty());
    EXPECT_TRUE(list_manifests(root / "absent").empty());
    write_file(root / "snapshots", "not a directory");
    EXPECT_TRUE(list_manifests(root.path()).empty());
}

TEST(ManifestStore, ListSortsEveryComponentAsBytes) {
    ScratchDir root;
    for (const auto& k : {key("9"), key("10"), key("2"), key("1", "root", "btrfs"),
                          key("1", "home"), key("1", "root", "snapper", "00-first")}) {
        save_manifest(root.path(), sample_manifest(k));
    }
    std::vector<std::string> order;
    for (const auto& manifest : list_manifests(root.path())) {
        const auto& k = manifest.snapshot.key;
        order.push_back(k.filesystem_uuid.substr(0, 2) + "/" + k.provider + "/" + k.instance + "/" +
                        k.snapshot_id);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"00/snapper/root/1", "0f/btrfs/root/1",
                                               "0f/snapper/home/1", "0f/snapper/root/10",
                                               "0f/snapper/root/2", "0f/snapper/root/9"}));
}

TEST(ManifestStore, ListIgnoresLinksAndOtherFiles) {
    ScratchDir root;
    save_manifest(root.path(), sample_manifest(key("1")));
    const fs::path directory = snapshot_directory(root.path(), key("1"));
    write_file(root / "outside" / "x" / "y" / "z" / "w" / "manifest.json", "garbage");
    fs::create_directory_symlink(root / "outside", root / "snapshots" / "linked");
    fs::create_symlink(directory / "manifest.json", directory.parent_path() / "manifest.json");
    write_file(root / "snapshots" / "README", "notes");
    write_file(directory / "manifest.json.bak", "garbage");
    EXPECT_EQ(list_manifests(root.path()).size(), 1u);
}

TEST(ManifestStore, ListFailsOnTheFirstBadManifest) {
    struct Case {
        const char* name;
        fs::path relative;
        SnapshotManifest manifest;
        std::string message_before_path;
        bool names_file;
    };
    SnapshotManifest future = sample_manifest(key("5"));
    future.schema_version = 2;
    const fs::path five = key_path(key("5"));
    const Case cases[] = {
        {"one level too high", five.parent_path(), sample_manifest(key("5")),
         "invalid manifest storage path: ", true},
        {"one level too low", five / "extra", sample_manifest(key("5")),
         "invalid manifest storage path: ", true},
        {"other schema", five, future, "unsupported manifest schema 2 in ", true},
        {"key of another snapshot", five, sample_manifest(key("6")),
         "manifest key does not match its storage path: ", true},
        {"invalid snapshot id", five.parent_path() / "a b", sample_manifest(key("5")),
         "invalid snapshot ID path component: a b", false},
        {"invalid instance", fs::path(kUuid) / "snapper" / "r+t" / "5", sample_manifest(key("5")),
         "invalid provider instance path component: r+t", false},
        {"snapshot id not UTF-8", five.parent_path() / "\xff", sample_manifest(key("5")),
         "snapshot ID in manifest path is not valid UTF-8", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir root;
        save_manifest(root.path(), sample_manifest(key("1")));
        const fs::path file = plant(root.path(), c.relative, c.manifest);
        EXPECT_EQ(error_of([&] { (void)list_manifests(root.path()); }),
                  c.message_before_path + (c.names_file ? file.string() : ""));
    }
}

TEST(ManifestStore, ListReportsABrokenDocument) {
    ScratchDir root;
    write_file(root / "snapshots" / key_path(key("1")) / "manifest.json",
               "{\"schema_version\": \"1\"}");
    EXPECT_EQ(
        error_of([&] { (void)list_manifests(root.path()); }),
        "JSON operation failed: invalid type: string \"1\", expected u32 at line 1 column 22");
}

TEST(ManifestStore, WalkTellsWhetherTheCleanUpHasAnythingToLookAt) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& root, const fs::path& one)> plant;
        bool leftovers;
    };
    const Case cases[] = {
        {"every directory holds a snapshot's files", [](const fs::path&, const fs::path&) {},
         false},
        {"a temporary beside the files",
         [](const fs::path&, const fs::path& one) {
             write_file(one / ".fragment.conf.tmp-1-1", "x");
         },
         true},
        {"a snapshot directory whose removal stopped after manifest.json",
         [](const fs::path& root, const fs::path&) {
             fs::create_directories(snapshot_directory(root, key("2")));
         },
         true},
        {"an empty instance directory",
         [](const fs::path& root, const fs::path&) {
             fs::create_directories(root / "snapshots" / kUuid / "snapper" / "home");
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir root;
        save_manifest(root.path(), sample_manifest(key("1")));
        write_fragment(root.path(), key("1"), "x");
        c.plant(root.path(), snapshot_directory(root.path(), key("1")));
        std::size_t visited = 0;
        const ManifestWalk walk =
            walk_manifests(root.path(), [&](SnapshotManifest&&, int) { ++visited; });
        EXPECT_EQ(visited, 1u);
        EXPECT_EQ(walk.leftovers, c.leftovers);
    }
}

TEST(ManifestStore, CheckingWalkRefusesASharedDirectoryBeforeReadingIt) {
    ScratchDir root;
    save_manifest(root.path(), sample_manifest(key("1")));
    save_manifest(root.path(), sample_manifest(key("2")));
    const fs::path shared = snapshot_directory(root.path(), key("2"));
    ASSERT_EQ(::chmod(shared.c_str(), 0775), 0);
    std::vector<std::string> visited;
    const auto visit = [&](SnapshotManifest&& manifest, int) {
        visited.push_back(manifest.snapshot.key.snapshot_id);
    };
    EXPECT_EQ(error_of([&] { (void)walk_manifests(root.path(), visit, true); }),
              "refusing group- or world-writable directory " + shared.string() +
                  "; fix it with chmod go-w " + shared.string());
    EXPECT_EQ(visited, std::vector<std::string>{"1"});
    visited.clear();
    (void)walk_manifests(root.path(), visit);
    EXPECT_EQ(visited, (std::vector<std::string>{"1", "2"}));
}

TEST(ManifestStore, WriteFragmentEndsWithANewlineAndSkipsIdenticalText) {
    ScratchDir root;
    const fs::path fragment = snapshot_directory(root.path(), key("1")) / "fragment.conf";
    write_fragment(root.path(), key("1"), "");
    EXPECT_EQ(read_file(fragment), "\n");
    write_fragment(root.path(), key("1"), "a\n\nb");
    EXPECT_EQ(read_file(fragment), "a\n\nb\n");
    EXPECT_EQ(mode_of(fragment), 0600u);

    const ino_t before = status_of(fragment).st_ino;
    write_fragment(root.path(), key("1"), "a\n\nb\n");
    EXPECT_EQ(status_of(fragment).st_ino, before);

    write_fragment(root.path(), key("1"), "c");
    EXPECT_EQ(read_file(fragment), "c\n");
}

TEST(ManifestStore, WriteFragmentReplacesALinkInsteadOfWritingThroughIt) {
    ScratchDir root;
    write_file(root / "target", "c\n");
    const fs::path fragment = snapshot_directory(root.path(), key("1")) / "fragment.conf";
    fs::create_directories(fragment.parent_path());
    fs::create_symlink(root / "target", fragment);
    write_fragment(root.path(), key("1"), "c\n");
    EXPECT_FALSE(fs::is_symlink(fragment));
    EXPECT_EQ(read_file(fragment), "c\n");
    EXPECT_EQ(read_file(root / "target"), "c\n");
}

TEST(ManifestStore, RepairSourceConfigWritesOnlyWhatIsMissingOrStale) {
    ScratchDir root;
    SnapshotManifest manifest = sample_manifest(key("1"));
    manifest.source_config = "abc";
    save_manifest(root.path(), manifest);
    const fs::path source = snapshot_directory(root.path(), key("1")) / "source.conf";

    EXPECT_FALSE(repair_source_config(root.path(), manifest));
    fs::remove(source);
    EXPECT_TRUE(repair_source_config(root.path(), manifest));
    EXPECT_EQ(read_file(source), "abc\n");
    write_file(source, "old\n");
    EXPECT_TRUE(repair_source_config(root.path(), manifest));
    EXPECT_EQ(read_file(source), "abc\n");
}

TEST(ManifestStore, RemoveCleansEmptyParentsButKeepsSnapshots) {
    ScratchDir root;
    save_manifest(root.path(), sample_manifest(key("1")));
    save_manifest(root.path(), sample_manifest(key("2")));
    write_fragment(root.path(), key("2"), "x");
    const fs::path two = snapshot_directory(root.path(), key("2"));
    write_file(two / "nested" / "deeper" / "file", "x");
    fs::create_directory_symlink(root / "outside", two / "link");
    write_file(root / "outside" / "keep", "x");

    EXPECT_TRUE(remove_manifest(root.path(), key("2")));
    EXPECT_FALSE(fs::exists(two));
    EXPECT_TRUE(fs::exists(root / "outside" / "keep"));
    EXPECT_TRUE(fs::exists(snapshot_directory(root.path(), key("1"))));

    EXPECT_TRUE(remove_manifest(root.path(), key("1")));
    EXPECT_TRUE(fs::is_directory(root / "snapshots"));
    EXPECT_TRUE(fs::is_empty(root / "snapshots"));
    EXPECT_FALSE(remove_manifest(root.path(), key("1")));
}

TEST(ManifestStore, RemoveStopsAtTheFirstDirectoryStillInUse) {
    ScratchDir root;
    save_manifest(root.path(), sample_manifest(key("1", "root")));
    save_manifest(root.path(), sample_manifest(key("1", "home")));
    EXPECT_TRUE(remove_manifest(root.path(), key("1", "root")));
    EXPECT_FALSE(fs::exists(root / "snapshots" / kUuid / "snapper" / "root"));
    EXPECT_TRUE(fs::exists(root / "snapshots" / kUuid / "snapper" / "home" / "1"));
}

TEST(ManifestStore, InterruptedRemoveLeavesAListedManifestThatTheNextRemoveFinishes) {
    ScratchDir root;
    save_manifest(root.path(), sample_manifest(key("1")));
    write_fragment(root.path(), key("1"), "x");
    const fs::path directory = snapshot_directory(root.path(), key("1"));
    write_file(directory / "pinned" / "file", "x");
    UndeletableFile pin(directory / "pinned" / "file");
    if (!pin.active()) {
        GTEST_SKIP() << "cannot make a file undeletable here (no immutable flag, running as root)";
    }

    EXPECT_NE(error_of([&] { (void)remove_manifest(root.path(), key("1")); }), "");
    EXPECT_TRUE(fs::exists(directory / "manifest.json"));
    ASSERT_EQ(list_manifests(root.path()).size(), 1u);

    pin.release();
    EXPECT_TRUE(remove_manifest(root.path(), key("1")));
    EXPECT_TRUE(list_manifests(root.path()).empty());
    EXPECT_TRUE(fs::is_empty(root / "snapshots"));
}

}  // namespace
}  // namespace snapwright::manifest
