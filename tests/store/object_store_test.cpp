#include "store/object_store.hpp"
#include "store/object_walk.hpp"

#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "store/sha256.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::store {
namespace {

using testing::error_of;
using testing::mode_of;
using testing::names_in;
using testing::read_file;
using testing::ScratchDir;
using testing::status_of;
using testing::write_file;

ObjectId id_of(const std::string& content) {
    return ObjectId{"sha256", sha256_hex(content)};
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// Places `content` as an object of `root` directly, as an earlier run would have left it.
ObjectId place_object(const fs::path& root, const std::string& content) {
    const ObjectId id = id_of(content);
    fs::create_directories(object_path(root, id).parent_path());
    write_file(object_path(root, id), content);
    return id;
}

const std::string kDigest(64, 'a');

TEST(ObjectId, ValidationTable) {
    struct Case {
        ObjectId id;
        const char* error;
    };
    const Case cases[] = {
        {{"sha256", kDigest}, ""},
        {{"sha256", std::string(32, 'A') + std::string(32, 'f')}, ""},
        {{"sha256", "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef"}, ""},
        {{"SHA256", kDigest}, "unsupported object hash algorithm: SHA256"},
        {{"sha-256", kDigest}, "unsupported object hash algorithm: sha-256"},
        {{"", kDigest}, "unsupported object hash algorithm: "},
        {{"sha256", std::string(63, 'a')}, "invalid SHA-256 object digest"},
        {{"sha256", std::string(65, 'a')}, "invalid SHA-256 object digest"},
        {{"sha256", std::string(63, 'a') + "g"}, "invalid SHA-256 object digest"},
        {{"sha256", std::string(62, 'a') + "\xc3\xa9"}, "invalid SHA-256 object digest"},
        {{"sha256", ""}, "invalid SHA-256 object digest"},
    };
    for (const Case& c : cases) {
        if (*c.error == '\0') {
            EXPECT_NO_THROW(validate_object_id(c.id)) << c.id.digest;
        } else {
            EXPECT_EQ(error_of([&] { validate_object_id(c.id); }), c.error) << c.id.digest;
        }
    }
}

TEST(ObjectId, EveryOperationValidatesBeforeTouchingTheStore) {
    ScratchDir dir;
    const ObjectId bad{"sha256", "../../x"};
    const std::string message = "invalid SHA-256 object digest";
    EXPECT_EQ(error_of([&] { verify_object(dir.path(), bad); }), message);
    EXPECT_EQ(error_of([&] { object_size(dir.path(), bad); }), message);
    EXPECT_EQ(error_of([&] { remove_object(dir.path(), bad); }), message);
    EXPECT_EQ(error_of([&] { copy_object(dir / "a", dir / "b", bad); }), message);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(ObjectPaths, Layout) {
    const ObjectId id{"sha256", "ab" + std::string(62, '0')};
    EXPECT_EQ(object_path("/boot/sw/m", id), "/boot/sw/m/objects/sha256/ab/" + id.digest);
    EXPECT_EQ(object_path("/r", ObjectId{"sha256", "a"}), "/r/objects/sha256/invalid/a");
}

TEST(ImportAsset, StoresOnceAndReturnsTheSameReference) {
    ScratchDir dir;
    const fs::path root = dir / "archive";
    write_file(dir / "vmlinuz-6.1", "kernel bytes");
    const AssetRef first = import_asset(root, dir / "vmlinuz-6.1", AssetKind::Kernel);
    const ObjectId id = id_of("kernel bytes");
    EXPECT_EQ(first, (AssetRef{id, AssetKind::Kernel, "vmlinuz-6.1", 12}));
    const fs::path object = object_path(root, id);
    EXPECT_EQ(read_file(object), "kernel bytes");
    EXPECT_EQ(mode_of(object), 0600u);

    const struct stat before = status_of(object);
    EXPECT_EQ(import_asset(root, dir / "vmlinuz-6.1", AssetKind::Kernel), first);
    const struct stat after = status_of(object);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(names_in(object.parent_path()), std::set<std::string>{id.digest});
}

TEST(ImportAsset, ReplacesACorruptedOrLinkedObject) {
    ScratchDir dir;
    const fs::path root = dir / "archive";
    write_file(dir / "initrd.img", "initramfs");
    const ObjectId id = id_of("initramfs");
    fs::create_directories(object_path(root, id).parent_path());
    write_file(object_path(root, id), "initramfZ");
    import_asset(root, dir / "initrd.img", AssetKind::Initramfs);
    EXPECT_TRUE(verify_object(root, id));

    write_file(dir / "elsewhere", "do not touch");
    fs::remove(object_path(root, id));
    fs::create_symlink(dir / "elsewhere", object_path(root, id));
    import_asset(root, dir / "initrd.img", AssetKind::Initramfs);
    EXPECT_TRUE(verify_object(root, id));
    EXPECT_EQ(read_file(dir / "elsewhere"), "do not touch");
}

TEST(ImportAsset, RefusesSourcesThatAreNotRegularFiles) {
    ScratchDir dir;
    const fs::path root = dir / "archive";
    write_file(dir / "real", "x");
    fs::create_symlink(dir / "real", dir / "link");
    fs::create_directory(dir / "directory");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const char* name : {"link", "directory", "fifo"}) {
        EXPECT_EQ(error_of([&] { import_asset(root, dir / name, AssetKind::Other); }),
                  "asset source is not a regular file: " + (dir / name).string());
    }
    EXPECT_EQ(
        error_of([&] { import_asset(root, dir / "absent", AssetKind::Other); }),
        "inspect asset " + (dir / "absent").string() + ": No such file or directory (os error 2)");
    EXPECT_FALSE(fs::exists(root));
}

TEST(ImportAsset, NameThatIsNotUtf8BecomesAsset) {
    ScratchDir dir;
    write_file(dir / "vmlinuz-\xff", "k");
    EXPECT_EQ(import_asset(dir / "archive", dir / "vmlinuz-\xff", AssetKind::Kernel).original_name,
              "asset");
}

// A file whose inode size says nothing of its content: the recorded size must be what was
// hashed and stored, not what an earlier look at the file said.
TEST(ImportAsset, RecordsTheSizeOfTheHashedBytes) {
    ScratchDir dir;
    const fs::path source = "/proc/version";
    struct stat st {};
    if (::lstat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) {
        GTEST_SKIP() << "needs /proc/version as a regular file of size 0";
    }
    const std::string content = read_file(source);
    ASSERT_FALSE(content.empty());
    const AssetRef ref = import_asset(dir / "archive", source, AssetKind::Other);
    EXPECT_EQ(ref.size, content.size());
    EXPECT_EQ(ref.object, id_of(content));
    EXPECT_EQ(object_size(dir / "archive", ref.object), content.size());
}

TEST(ImportAsset, RefusesLinkedDataRootAndFanOut) {
    ScratchDir dir;
    write_file(dir / "kernel", "k");
    fs::create_directory(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "root-link");
    EXPECT_EQ(error_of([&] { import_asset(dir / "root-link", dir / "kernel", AssetKind::Kernel); }),
              "data root is not a real directory: " + (dir / "root-link").string());

    const fs::path root = dir / "archive";
    const ObjectId id = id_of("k");
    fs::create_directories(root / "objects/sha256");
    fs::create_directory_symlink(dir / "real", object_path(root, id).parent_path());
    EXPECT_EQ(
        error_of([&] { import_asset(root, dir / "kernel", AssetKind::Kernel); }),
        "refusing to traverse non-directory path " + object_path(root, id).parent_path().string());
    EXPECT_TRUE(fs::is_empty(dir / "real"));
}

TEST(VerifyObject, OnlyAnIntactRegularFileUnderItsExactDigest) {
    ScratchDir dir;
    const fs::path root = dir / "r";
    const ObjectId id = place_object(root, "payload");
    EXPECT_TRUE(verify_object(root, id));
    EXPECT_FALSE(verify_object(root, ObjectId{"sha256", upper(id.digest)}));
    EXPECT_FALSE(verify_object(root, id_of("absent")));
    EXPECT_FALSE(verify_object(dir / "no-root", id));

    const ObjectId linked = id_of("linked");
    write_file(dir / "linked", "linked");
    fs::create_directories(object_path(root, linked).parent_path());
    fs::create_symlink(dir / "linked", object_path(root, linked));
    EXPECT_FALSE(verify_object(root, linked));

    const ObjectId directory = id_of("directory");
    fs::create_directories(object_path(root, directory));
    EXPECT_FALSE(verify_object(root, directory));

    write_file(object_path(root, id), "payloaD");
    EXPECT_FALSE(verify_object(root, id));
}

TEST(CopyObject, CopiesOnceAndRepairsTheDestination) {
    ScratchDir dir;
    const fs::path archive = dir / "archive";
    const fs::path boot = dir / "boot";
    const ObjectId id = place_object(archive, "kernel");
    EXPECT_TRUE(copy_object(boot, archive, id));
    EXPECT_TRUE(verify_object(boot, id));
    EXPECT_FALSE(copy_object(boot, archive, id));

    write_file(object_path(boot, id), "kernek");
    EXPECT_TRUE(copy_object(boot, archive, id));
    EXPECT_EQ(read_file(object_path(boot, id)), "kernel");
    EXPECT_EQ(names_in(object_path(boot, id).parent_path()), std::set<std::string>{id.digest});
}

TEST(CopyObject, RefusesAMissingOrCorruptedSource) {
    ScratchDir dir;
    const ObjectId id = place_object(dir / "archive", "kernel");
    write_file(object_path(dir / "archive", id), "corrupt");
    const std::string message = "source object is missing or corrupted: sha256:" + id.digest;
    EXPECT_EQ(error_of([&] { copy_object(dir / "boot", dir / "archive", id); }), message);
    EXPECT_EQ(error_of([&] { copy_object(dir / "boot", dir / "none", id); }), message);
    EXPECT_FALSE(fs::exists(dir / "boot"));
}

// A run trusts what it found intact itself; the copy it makes from it is still checked.
TEST(CopyObject, SourceFoundIntactInThisRunIsNotReadAgainButItsCopyIsChecked) {
    ScratchDir dir;
    write_file(dir / "kernel", "kernel");
    HashCache cache;
    const ObjectId id =
        import_asset(dir / "archive", dir / "kernel", AssetKind::Kernel, &cache).object;
    EXPECT_EQ(import_asset(dir / "archive", dir / "kernel", AssetKind::Kernel, &cache).object, id);
    EXPECT_EQ(cache.files_hashed(), 1u);

    write_file(object_path(dir / "archive", id), "corrupt");
    EXPECT_EQ(error_of([&] { copy_object(dir / "boot", dir / "archive", id, &cache); }),
              "object verification failed after copying " + object_path(dir / "boot", id).string());
    EXPECT_FALSE(fs::exists(object_path(dir / "boot", id)));
    EXPECT_EQ(error_of([&] { copy_object(dir / "boot", dir / "archive", id); }),
              "source object is missing or corrupted: sha256:" + id.digest);
}

// The boot space check and the deployment of one run both look at a present copy; it is read once.
TEST(VerifyObject, UnchangedCopyIsHashedOncePerRun) {
    ScratchDir dir;
    const ObjectId id = place_object(dir / "boot", "kernel");
    HashCache cache;
    EXPECT_TRUE(verify_object(dir / "boot", id, &cache));
    EXPECT_FALSE(copy_object(dir / "boot", dir / "archive", id, &cache));
    EXPECT_EQ(cache.files_hashed(), 1u);
    write_file(object_path(dir / "boot", id), "damaged");
    EXPECT_FALSE(verify_object(dir / "boot", id, &cache));
    EXPECT_EQ(cache.files_hashed(), 2u);
}

// Damages the object as soon as it is renamed into place, before the copy is verified.
TEST(CopyObject, RemovesACopyThatDoesNotVerify) {
    // Every open in the fan-out directory waits for an answer, so the copy is damaged at its
    // final name before the verifier reads it, however the threads are scheduled.
    if (::geteuid() != 0) {
        GTEST_SKIP() << "fanotify permission events need root (CAP_SYS_ADMIN)";
    }
    ScratchDir dir;
    const fs::path boot = dir / "boot";
    const std::string content(1 << 16, 'k');
    const ObjectId id = place_object(dir / "archive", content);
    const fs::path target = object_path(boot, id);
    fs::create_directories(target.parent_path());

    const int notify = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDWR | O_LARGEFILE);
    if (notify < 0 && (errno == EPERM || errno == EINVAL || errno == ENOSYS)) {
        // A container without CAP_SYS_ADMIN, or a kernel without permission events.
        GTEST_SKIP() << "fanotify permission events are unavailable: " << std::strerror(errno);
    }
    ASSERT_GE(notify, 0) << std::strerror(errno);
    ASSERT_EQ(::fanotify_mark(notify, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD,
                              target.parent_path().c_str()),
              0)
        << std::strerror(errno);
    int stop[2];
    ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
    bool damaged = false;
    std::thread saboteur([&] {
        alignas(fanotify_event_metadata) char buffer[4096];
        for (;;) {
            pollfd waits[2] = {{notify, POLLIN, 0}, {stop[0], POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0 || (waits[1].revents != 0 && waits[0].revents == 0)) {
                return;
            }
            const ssize_t length = ::read(notify, buffer, sizeof buffer);
            if (length <= 0) {
                return;
            }
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = length; FAN_EVENT_OK(event, left);
                 event = FAN_EVENT_NEXT(event, left)) {
                if (event->fd < 0) {
                    continue;
                }
                // The event's descriptor raises no event of its own, so writing through it
                // changes the file without another round.
                std::error_code ignored;
                const fs::path opened =
                    fs::read_symlink("/proc/self/fd/" + std::to_string(event->fd), ignored);
                if (!damaged && opened == target) {
                    damaged =
                        ::pwrite(event->fd, "X", 1, static_cast<off_t>(content.size() - 1)) == 1;
                }
                const fanotify_response allow{event->fd, FAN_ALLOW};
                EXPECT_EQ(::write(notify, &allow, sizeof allow),
                          static_cast<ssize_t>(sizeof allow));
                ::close(event->fd);
            }
        }
    });
    const std::string error = error_of([&] { copy_object(boot, dir / "archive", id); });
    EXPECT_EQ(::write(stop[1], "", 1), 1);
    saboteur.join();
    ::close(stop[0]);
    ::close(stop[1]);
    ::close(notify);
    EXPECT_TRUE(damaged);
    EXPECT_EQ(error, "object verification failed after copying " + target.string());
    EXPECT_TRUE(fs::is_empty(target.parent_path()));
}

TEST(ObjectSize, RegularFilesOnly) {
    ScratchDir dir;
    const ObjectId id = place_object(dir.path(), "12345");
    EXPECT_EQ(object_size(dir.path(), id), 5u);
    EXPECT_EQ(object_size(dir.path(), id_of("absent")), std::nullopt);
    const ObjectId directory = id_of("directory");
    fs::create_directories(object_path(dir.path(), directory));
    EXPECT_EQ(object_size(dir.path(), directory), std::nullopt);

    // A file where the fan-out directory belongs holds no object; it does not make the store
    // unreadable.
    fs::create_directories(dir / "blocked/objects/sha256");
    write_file(dir / "blocked/objects/sha256" / id.digest.substr(0, 2), "");
    EXPECT_EQ(object_size(dir / "blocked", id), std::nullopt);
    EXPECT_FALSE(verify_object(dir / "blocked", id));
}

TEST(ClearFanOut, RemovesAFileWhereTheDirectoryBelongsButNeverALink) {
    ScratchDir dir;
    const ObjectId id = place_object(dir / "source", "content");
    const fs::path fan_out = object_path(dir / "boot", id).parent_path();
    fs::create_directories(fan_out.parent_path());
    write_file(fan_out, "not a directory");
    EXPECT_TRUE(clear_fan_out(dir / "boot", id));
    EXPECT_TRUE(copy_object(dir / "boot", dir / "source", id));
    EXPECT_FALSE(clear_fan_out(dir / "boot", id));

    fs::remove_all(fan_out);
    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", fan_out);
    EXPECT_FALSE(clear_fan_out(dir / "boot", id));
    EXPECT_EQ(error_of([&] { copy_object(dir / "boot", dir / "source", id); }),
              "refusing to traverse non-directory path " + fan_out.string());
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

TEST(RemoveObject, RemovesFilesAndEmptiedDirectoriesButKeepsObjects) {
    ScratchDir dir;
    const fs::path root = dir.path();
    const ObjectId first = place_object(root, "one");
    EXPECT_FALSE(remove_object(root, id_of("absent")));
    EXPECT_TRUE(remove_object(root, first));
    EXPECT_FALSE(remove_object(root, first));
    EXPECT_TRUE(fs::is_directory(root / "objects"));
    EXPECT_TRUE(fs::is_empty(root / "objects"));

    // A link at an object path is removed itself; its target stays.
    write_file(dir / "target", "t");
    const ObjectId linked = id_of("linked");
    fs::create_directories(object_path(root, linked).parent_path());
    fs::create_symlink(dir / "target", object_path(root, linked));
    const ObjectId other = place_object(root, "other");
    EXPECT_TRUE(remove_object(root, linked));
    EXPECT_EQ(read_file(dir / "target"), "t");
    EXPECT_TRUE(verify_object(root, other));
}

TEST(RemoveObject, RefusesADirectoryAtTheObjectPath) {
    ScratchDir dir;
    const ObjectId id = id_of("x");
    fs::create_directories(object_path(dir.path(), id));
    EXPECT_EQ(error_of([&] { remove_object(dir.path(), id); }),
              "refusing to remove non-file object path " + object_path(dir.path(), id).string());
    EXPECT_TRUE(fs::is_directory(object_path(dir.path(), id)));
}

TEST(StoreStatistics, CountsRegularFilesInFanOutDirectories) {
    ScratchDir dir;
    const fs::path root = dir.path();
    EXPECT_EQ(store_statistics(root).objects, 0u);
    place_object(root, "four");
    const ObjectId second = place_object(root, "second");
    const fs::path fan_out = object_path(root, second).parent_path();
    write_file(fan_out / ".x.tmp-1-0", "12");
    fs::create_symlink("/etc/hostname", fan_out / "link");
    fs::create_directory(fan_out / "inner");
    write_file(fan_out / "inner" / "deep", "ignored");
    write_file(root / "objects/sha256/stray-file", "ignored");
    const StoreStatistics statistics = store_statistics(root);
    EXPECT_EQ(statistics.objects, 3u);
    EXPECT_EQ(statistics.bytes, 4u + 6u + 2u);
}

TEST(CollectGarbage, NothingToCollect) {
    ScratchDir dir;
    const GarbageCollection none = collect_garbage(dir / "absent", {});
    EXPECT_EQ(none.removed_objects, 0u);
    EXPECT_EQ(collect_garbage(dir.path(), {}).removed_objects, 0u);
}

TEST(CollectGarbage, AnInvalidReferenceDeletesNothing) {
    ScratchDir dir;
    const ObjectId id = place_object(dir.path(), "garbage");
    EXPECT_EQ(error_of([&] {
                  collect_garbage(dir.path(), {id_of("kept"), ObjectId{"sha-256", kDigest}});
              }),
              "unsupported object hash algorithm: sha-256");
    EXPECT_TRUE(verify_object(dir.path(), id));
}

TEST(CollectGarbage, RemovesStraysAndEmptiedDirectories) {
    ScratchDir dir;
    const fs::path root = dir.path();
    const ObjectId kept = place_object(root, "kept");
    const ObjectId unreferenced = place_object(root, "unreferenced!");
    const fs::path kept_fan_out = object_path(root, kept).parent_path();
    write_file(kept_fan_out / ("." + kept.digest + ".tmp-77-3"), "partial");
    fs::create_directory(kept_fan_out / "inner");
    write_file(dir / "link-target", "stays");
    fs::create_symlink(dir / "link-target", kept_fan_out / "link");
    write_file(root / "objects/sha256/not-a-fan-out", "stays");

    const GarbageCollection collected = collect_garbage(root, {kept});
    EXPECT_EQ(collected.removed_objects, 3u);
    EXPECT_EQ(collected.removed_bytes,
              13u + 7u + static_cast<std::uint64_t>((dir / "link-target").string().size()));
    EXPECT_EQ(names_in(kept_fan_out), (std::set<std::string>{kept.digest, "inner"}));
    EXPECT_FALSE(fs::exists(object_path(root, unreferenced)));
    if (object_path(root, unreferenced).parent_path() != kept_fan_out) {
        EXPECT_FALSE(fs::exists(object_path(root, unreferenced).parent_path()));
    }
    EXPECT_EQ(read_file(dir / "link-target"), "stays");
    EXPECT_TRUE(fs::exists(root / "objects/sha256/not-a-fan-out"));
}

TEST(CollectGarbage, RemovesTheAlgorithmDirectoryButKeepsObjects) {
    ScratchDir dir;
    place_object(dir.path(), "a");
    place_object(dir.path(), "b");
    const GarbageCollection collected = collect_garbage(dir.path(), {});
    EXPECT_EQ(collected.removed_objects, 2u);
    EXPECT_EQ(collected.removed_bytes, 2u);
    EXPECT_EQ(names_in(dir / "objects"), std::set<std::string>{});
}

TEST(CollectGarbage, NeverFollowsALinkedObjectArea) {
    ScratchDir dir;
    fs::create_directories(dir / "elsewhere/sha256/ab");
    write_file(dir / "elsewhere/sha256/ab/precious", "data");
    fs::create_directories(dir / "root");
    fs::create_directory_symlink(dir / "elsewhere", dir / "root/objects");
    EXPECT_EQ(error_of([&] { collect_garbage(dir / "root", {}); }),
              "refusing to traverse non-directory path " + (dir / "root/objects").string());

    fs::remove(dir / "root/objects");
    fs::create_directories(dir / "root/objects");
    fs::create_directory_symlink(dir / "elsewhere/sha256", dir / "root/objects/sha256");
    EXPECT_EQ(error_of([&] { collect_garbage(dir / "root", {}); }),
              "refusing to traverse non-directory path " + (dir / "root/objects/sha256").string());
    EXPECT_EQ(read_file(dir / "elsewhere/sha256/ab/precious"), "data");

    fs::create_directory_symlink(dir / "root", dir / "root-link");
    EXPECT_EQ(error_of([&] { collect_garbage(dir / "root-link", {}); }),
              "data root is not a real directory: " + (dir / "root-link").string());
}

}  // namespace
}  // namespace snapwright::store
