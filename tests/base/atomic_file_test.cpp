#include "base/atomic_file.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "base/directory_chain.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::base {
namespace {

namespace fs = std::filesystem;
using testing::error_of;
using testing::mode_of;
using testing::names_in;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

std::string temporary_name(const std::string& name, int attempt) {
    return "." + name + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
}

// A private mount namespace in which the test may mount small filesystems; they vanish with
// the process. Empty when that is not possible, with the reason.
std::string enter_private_mount_namespace() {
    static std::string reason = [] {
        if (::geteuid() != 0) {
            return std::string("needs root to mount a small tmpfs");
        }
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("cannot enter a private mount namespace");
        }
        return std::string();
    }();
    return reason;
}

// A tmpfs of `size` on `where`, unmounted on destruction.
class SmallTmpfs {
  public:
    SmallTmpfs(const fs::path& where, const std::string& options) : where_(where) {
        ok_ = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallTmpfs() {
        if (ok_) {
            ::umount2(where_.c_str(), MNT_DETACH);
        }
    }
    bool ok() const { return ok_; }
    void make_read_only() {
        ASSERT_EQ(::mount(nullptr, where_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    }

  private:
    fs::path where_;
    bool ok_ = false;
};

TEST(TemporaryFile, NamesFollowTheCounterAndAreUnlinkedUnlessKept) {
    ScratchDir dir;
    {
        TemporaryFile first = create_temporary_file(dir.path(), "entry.conf");
        TemporaryFile second = create_temporary_file(dir.path(), "entry.conf");
        EXPECT_EQ(first.path(), dir / temporary_name("entry.conf", 0));
        EXPECT_EQ(second.path(), dir / temporary_name("entry.conf", 1));
        EXPECT_EQ(mode_of(first.path()), 0600u);
        second.keep();
    }
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{temporary_name("entry.conf", 1)});
}

TEST(TemporaryFile, FailsWhenAllThousandNamesAreTaken) {
    ScratchDir dir;
    for (int n = 0; n < 1000; ++n) {
        write_file(dir / temporary_name("target", n), "");
    }
    EXPECT_EQ(error_of([&] { create_temporary_file(dir.path(), "target"); }),
              "cannot allocate a temporary file name");
    EXPECT_EQ(error_of([&] { write_file_atomically(dir / "target", "x", 0600); }),
              "cannot allocate a temporary file name");
    EXPECT_FALSE(fs::exists(dir / "target"));
}

TEST(TemporaryFile, OtherCreationFailuresNameThePath) {
    ScratchDir dir;
    EXPECT_EQ(error_of([&] { create_temporary_file(dir / "missing", "x"); }),
              "create temporary file " + (dir / "missing" / temporary_name("x", 0)).string() +
                  ": No such file or directory (os error 2)");
}

TEST(WriteFileAtomically, CreatesParentsAndSetsModeExactly) {
    ScratchDir dir;
    const fs::path target = dir / "a" / "b" / "manifest.json";
    write_file_atomically(target, "first", 0640);
    EXPECT_EQ(read_file(target), "first");
    EXPECT_EQ(mode_of(target), 0640u);
    write_file_atomically(target, std::string(300000, 'z'), 0600);
    EXPECT_EQ(read_file(target), std::string(300000, 'z'));
    EXPECT_EQ(mode_of(target), 0600u);
    EXPECT_EQ(names_in(dir / "a" / "b"), std::set<std::string>{"manifest.json"});
}

TEST(WriteFileAtomically, RejectsTargetWithoutParent) {
    EXPECT_EQ(error_of([] { write_file_atomically("manifest.json", "x", 0600); }),
              "invalid output path manifest.json");
}

TEST(WriteFileAtomically, FailureOnAFullFilesystemKeepsTheOldFile) {
    const std::string reason = enter_private_mount_namespace();
    if (!reason.empty()) {
        GTEST_SKIP() << reason;
    }
    ScratchDir dir;
    SmallTmpfs tmpfs(dir.path(), "size=64k");
    ASSERT_TRUE(tmpfs.ok());
    const fs::path target = dir / "entry.conf";
    write_file_atomically(target, "old", 0644);
    EXPECT_EQ(error_of([&] { write_file_atomically(target, std::string(1 << 20, 'x'), 0644); }),
              "I/O operation failed: No space left on device (os error 28)");
    EXPECT_EQ(read_file(target), "old");
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"entry.conf"});
}

TEST(WriteFileAtomically, ReadOnlyDirectoryKeepsTheOldFile) {
    const std::string reason = enter_private_mount_namespace();
    if (!reason.empty()) {
        GTEST_SKIP() << reason;
    }
    ScratchDir dir;
    SmallTmpfs tmpfs(dir.path(), "size=1m");
    ASSERT_TRUE(tmpfs.ok());
    const fs::path target = dir / "entry.conf";
    write_file_atomically(target, "old", 0644);
    tmpfs.make_read_only();
    EXPECT_EQ(error_of([&] { write_file_atomically(target, "new", 0644); }),
              "create temporary file " + (dir / temporary_name("entry.conf", 0)).string() +
                  ": Read-only file system (os error 30)");
    EXPECT_EQ(read_file(target), "old");
}

class AtomicWriteBatchTest : public ::testing::TestWithParam<AtomicWriteBatch::Sync> {};

TEST_P(AtomicWriteBatchTest, RenamesInOrderOnlyOnCommitAndCanBeUsedAgain) {
    ScratchDir dir;
    write_file(dir / "a" / "1.conf", "old 1");
    write_file(dir / "a" / "2.conf", "old 2");
    std::vector<std::string> renamed;
    AtomicWriteBatch batch(GetParam());
    batch.add(dir / "a" / "2.conf", "new 2", 0644);
    batch.add(dir / "b" / "c" / "new.json", "new", 0600);
    batch.add(dir / "a" / "1.conf", "new 1", 0640);
    EXPECT_EQ(batch.directories(), 2u);
    EXPECT_EQ(read_file(dir / "a" / "2.conf"), "old 2");
    EXPECT_EQ(names_in(dir / "b" / "c").size(), 1u);  // only the temporary
    batch.commit([&](const fs::path& target) { renamed.push_back(target.filename()); });
    EXPECT_EQ(renamed, (std::vector<std::string>{"2.conf", "new.json", "1.conf"}));
    EXPECT_EQ(read_file(dir / "a" / "1.conf"), "new 1");
    EXPECT_EQ(read_file(dir / "a" / "2.conf"), "new 2");
    EXPECT_EQ(read_file(dir / "b" / "c" / "new.json"), "new");
    EXPECT_EQ(mode_of(dir / "a" / "1.conf"), 0640u);
    EXPECT_EQ(mode_of(dir / "b" / "c" / "new.json"), 0600u);
    EXPECT_EQ(names_in(dir / "a"), (std::set<std::string>{"1.conf", "2.conf"}));
    EXPECT_EQ(batch.directories(), 0u);

    batch.add(dir / "a" / "1.conf", "again", 0644);
    batch.commit();
    EXPECT_EQ(read_file(dir / "a" / "1.conf"), "again");
}

// A refusal before a rename keeps what was renamed, and the rest is as it was, temporaries gone.
TEST_P(AtomicWriteBatchTest, StoppedOrAbandonedBatchLeavesOldContentAndNoTemporary) {
    ScratchDir dir;
    for (const char* name : {"1", "2", "3"}) {
        write_file(dir / name, std::string("old ") + name);
    }
    {
        AtomicWriteBatch batch(GetParam());
        for (const char* name : {"1", "2", "3"}) {
            batch.add(dir / name, std::string("new ") + name, 0644);
        }
        EXPECT_EQ(error_of([&] {
                      batch.commit([](const fs::path& target) {
                          if (target.filename() == "2") {
                              throw_error("refused 2");
                          }
                      });
                  }),
                  "refused 2");
    }
    {
        AtomicWriteBatch abandoned(GetParam());
        abandoned.add(dir / "3", "never", 0644);
    }
    EXPECT_EQ(read_file(dir / "1"), "new 1");
    EXPECT_EQ(read_file(dir / "2"), "old 2");
    EXPECT_EQ(read_file(dir / "3"), "old 3");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"1", "2", "3"}));
}

INSTANTIATE_TEST_SUITE_P(BothSyncs, AtomicWriteBatchTest,
                         ::testing::Values(AtomicWriteBatch::Sync::EachFile,
                                           AtomicWriteBatch::Sync::WholeFilesystem));

TEST(CopyFileAtomically, CopiesLargeFilesAndReplacesTheTarget) {
    ScratchDir dir;
    std::string content;
    for (int i = 0; i < 400000; ++i) {
        content += static_cast<char>(i * 7 + i / 251);
    }
    write_file(dir / "source", content);
    write_file(dir / "target", "old");
    copy_file_atomically(dir / "source", dir / "target");
    EXPECT_EQ(read_file(dir / "target"), content);
    EXPECT_EQ(mode_of(dir / "target"), 0600u);
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"source", "target"}));
}

TEST(CopyFileAtomically, RefusesAMissingOrLinkedParent) {
    ScratchDir dir;
    write_file(dir / "source", "x");
    fs::create_directory(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "link");
    EXPECT_EQ(error_of([&] { copy_file_atomically(dir / "source", dir / "link" / "t"); }),
              "object parent is not a directory: " + (dir / "link").string());
    EXPECT_EQ(error_of([&] { copy_file_atomically(dir / "source", dir / "none" / "t"); }),
              "object parent is not a directory: " + (dir / "none").string());
    EXPECT_EQ(error_of([] { copy_file_atomically("/etc/hostname", "object"); }),
              "invalid object path object");
    EXPECT_TRUE(fs::is_empty(dir / "real"));
}

TEST(CopyFileAtomically, UnreadableSourceLeavesTargetAndNoTemporary) {
    ScratchDir dir;
    fs::create_directory(dir / "source-dir");
    write_file(dir / "target", "old");
    EXPECT_EQ(error_of([&] { copy_file_atomically(dir / "source-dir", dir / "target"); }),
              "I/O operation failed: Is a directory (os error 21)");
    EXPECT_EQ(error_of([&] { copy_file_atomically(dir / "absent", dir / "target"); }),
              "I/O operation failed: No such file or directory (os error 2)");
    EXPECT_EQ(read_file(dir / "target"), "old");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"source-dir", "target"}));
}

TEST(CopyFileAtomically, FullFilesystemKeepsTheOldTarget) {
    const std::string reason = enter_private_mount_namespace();
    if (!reason.empty()) {
        GTEST_SKIP() << reason;
    }
    ScratchDir source_dir;
    ScratchDir dir;
    write_file(source_dir / "big", std::string(1 << 20, 'k'));
    SmallTmpfs tmpfs(dir.path(), "size=64k");
    ASSERT_TRUE(tmpfs.ok());
    write_file(dir / "target", "old");
    EXPECT_EQ(error_of([&] { copy_file_atomically(source_dir / "big", dir / "target"); }),
              "I/O operation failed: No space left on device (os error 28)");
    EXPECT_EQ(read_file(dir / "target"), "old");
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"target"});
}

TEST(EnsureDirectory, CreatesTheChainAndAcceptsAnExistingOne) {
    ScratchDir dir;
    const fs::path root = dir / "missing" / "root";
    EXPECT_EQ(ensure_directory(root, "objects/sha256/ab"), root / "objects/sha256/ab");
    EXPECT_TRUE(fs::is_directory(root / "objects/sha256/ab"));
    EXPECT_EQ(ensure_directory(root, "objects/sha256/ab"), root / "objects/sha256/ab");
    EXPECT_EQ(ensure_directory(root, ""), root);
}

TEST(EnsureDirectory, RejectsUnsafeRelativePaths) {
    ScratchDir dir;
    for (const char* relative : {"/objects", "objects/../etc", "..", "./objects", "a/./b"}) {
        EXPECT_EQ(error_of([&] { ensure_directory(dir.path(), relative); }),
                  std::string("unsafe relative directory path: ") + relative);
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(EnsureDirectory, RefusesLinksAndFilesInsteadOfDirectories) {
    ScratchDir dir;
    fs::create_directory(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "root-link");
    EXPECT_EQ(error_of([&] { ensure_directory(dir / "root-link", "objects"); }),
              "data root is not a real directory: " + (dir / "root-link").string());
    write_file(dir / "root-file", "");
    EXPECT_EQ(error_of([&] { ensure_directory(dir / "root-file", "objects"); }),
              "data root is not a real directory: " + (dir / "root-file").string());

    const fs::path root = dir / "root";
    ensure_directory(root, "objects/sha256");
    fs::create_directory_symlink(dir / "real", root / "objects/sha256/ab");
    EXPECT_EQ(error_of([&] { ensure_directory(root, "objects/sha256/ab"); }),
              "refusing to traverse non-directory path " + (root / "objects/sha256/ab").string());
    write_file(root / "objects/file", "");
    EXPECT_EQ(error_of([&] { ensure_directory(root, "objects/file/x"); }),
              "refusing to traverse non-directory path " + (root / "objects/file").string());
    EXPECT_TRUE(fs::is_empty(dir / "real"));
}

TEST(RemoveEmptyDirectory, RemovesOnlyWhenEmpty) {
    ScratchDir dir;
    fs::create_directories(dir / "full" / "inner");
    remove_if_empty(dir / "full");
    EXPECT_TRUE(fs::exists(dir / "full" / "inner"));
    remove_if_empty(dir / "full" / "inner");
    EXPECT_FALSE(fs::exists(dir / "full" / "inner"));
    EXPECT_TRUE(fs::exists(dir / "full"));
    EXPECT_EQ(error_of([&] { remove_if_empty(dir / "gone"); }),
              "I/O operation failed: No such file or directory (os error 2)");
}

// The clean-up asks before each removal, with the temporary's final name, and spares a file
// it is told to keep (a torn rename on FAT).
TEST(RemoveTemporaries, SparesTheFilesKeepAnswersFor) {
    ScratchDir dir;
    write_file(dir / ".kept.conf.tmp-7-0", "may share clusters");
    write_file(dir / ".gone.conf.tmp-7-0", "half");
    std::vector<std::string> asked;
    const std::size_t removed = remove_temporaries(
        dir.path(), [](std::string_view) { return true; },
        [&](int, const std::string& name, std::string_view target) {
            asked.push_back(name + " " + std::string(target));
            return target == "kept.conf";
        });
    EXPECT_EQ(removed, 1u);
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{".kept.conf.tmp-7-0"}));
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{".gone.conf.tmp-7-0 gone.conf",
                                               ".kept.conf.tmp-7-0 kept.conf"}));
}

// The count of names that stay lets a caller skip removing a directory that is not empty.
TEST(RemoveTemporaries, CountsTheNamesThatStay) {
    ScratchDir dir;
    write_file(dir / "manifest.json", "{}");
    write_file(dir / ".manifest.json.tmp-7-0", "half");
    write_file(dir / ".other.tmp-7-0", "not accepted");
    std::size_t remaining = 99;
    EXPECT_EQ(remove_temporaries(
                  dir.path(), [](std::string_view target) { return target == "manifest.json"; }, {},
                  &remaining),
              1u);
    EXPECT_EQ(remaining, 2u);
    (void)remove_temporaries(
        dir / "missing", [](std::string_view) { return true; }, {}, &remaining);
    EXPECT_EQ(remaining, 0u);
}

}  // namespace
}  // namespace snapwright::base
