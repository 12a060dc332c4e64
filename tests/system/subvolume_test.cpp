#include "system/subvolume.hpp"
#include "system/free_space.hpp"

#include <filesystem>
#include <functional>
#include <limits>

#include <gtest/gtest.h>

#include "base/text_file.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::system {
namespace {

namespace fs = std::filesystem;
using testing::error_of;
using testing::FakeToolPath;
using testing::ScratchDir;
using testing::write_file;
using testing::write_script;

constexpr const char* kShowOutput =
    "@\n"
    "\tName: \t\t\t@\n"
    "\tUUID: \t\t\t1A2B3C4D-0000-4000-8000-00000000ABCD\n"
    "\tParent UUID: \t\t-\n"
    "\tReceived UUID: \t\t-\n"
    "\tSubvolume ID: \t\t256\n";

TEST(SubvolumeUuidParser, ReadsTheUuidLineOnly) {
    EXPECT_EQ(parse_subvolume_uuid(kShowOutput), "1a2b3c4d-0000-4000-8000-00000000abcd");
    EXPECT_EQ(parse_subvolume_uuid("\tParent UUID:\t\tabc\n\tReceived UUID:\tdef\r\n"),
              std::nullopt);
    EXPECT_EQ(parse_subvolume_uuid("UUID:\nUUID:   -  \nUUID:x\r\n"), "x");
    EXPECT_EQ(parse_subvolume_uuid("/\n\tName:\t\t<FS_TREE>\n\tUUID:\t\t-\n"), std::nullopt);
    EXPECT_EQ(parse_subvolume_uuid(""), std::nullopt);
    // A snapshot of a top level without a UUID, named to look like the missing line.
    EXPECT_EQ(parse_subvolume_uuid("/\n\tUUID:\t\t-\n\tSnapshot(s):\n\t\t\t\tUUID: abc\n"),
              std::nullopt);
}

TEST(FreeSpace, MultipliesWithOverflowCheck) {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(available_bytes(1000, 4096), 4096000u);
    EXPECT_EQ(available_bytes(max, 1), max);
    EXPECT_EQ(available_bytes(0, max), 0u);
    EXPECT_EQ(error_of([] { available_bytes(max / 4096 + 1, 4096); }),
              "filesystem free-space value overflow");
}

TEST(FreeSpace, ReadsTheFilesystemOrReportsWhy) {
    ScratchDir dir;
    EXPECT_GT(free_space(dir.path()), 0u);
    EXPECT_EQ(error_of([&] { free_space(dir / "missing"); }),
              "read filesystem free space: No such file or directory (os error 2)");
    EXPECT_EQ(error_of([] { free_space(fs::path(std::string("/boot\0x", 7))); }),
              std::string("path contains a NUL byte: /boot\0x", 33));
}

// A stand-in for btrfs that keeps its subvolumes in a registry file and logs every call.
class SubvolumeTest : public ::testing::Test {
  protected:
    SubvolumeTest() {
        write_script(tools.path(), "btrfs",
                     "echo \"$*\" >> '" + log().string() +
                         "'\n"
                         "registry='" +
                         (tools / "registry").string() +
                         "'\n"
                         "[ \"$1 $3\" = 'subvolume --' ] || { echo 'usage' >&2; exit 1; }\n"
                         "case $2 in\n"
                         "show) grep -qxF \"$4\" \"$registry\" 2>/dev/null ||\n"
                         "      { echo \"ERROR: Not a Btrfs subvolume: $4\" >&2; exit 1; }\n"
                         "      printf '%s\\n\\tUUID:\\t\\tABCDEF\\n' \"$4\" ;;\n"
                         "create) mkdir -- \"$4\" && echo \"$4\" >> \"$registry\" ;;\n"
                         "esac");
    }

    fs::path log() const { return tools / "calls"; }
    std::string calls() const { return fs::exists(log()) ? base::read_text_file(log()) : ""; }
    void register_subvolume(const fs::path& path) {
        fs::create_directories(path);
        std::string registry = fs::exists(tools / "registry")
                                   ? base::read_text_file(tools / "registry")
                                   : std::string();
        write_file(tools / "registry", registry + path.string() + "\n");
    }

    ScratchDir tools;
    ScratchDir root;
    FakeToolPath path{tools.path()};
};

TEST_F(SubvolumeTest, ReadsTheUuidOrReportsTheFailure) {
    register_subvolume(root / "@");
    EXPECT_EQ(read_subvolume_uuid(root / "@"), "abcdef");
    EXPECT_EQ(calls(), "subvolume show -- " + (root / "@").string() + "\n");
    const std::string plain = (root / "plain").string();
    EXPECT_EQ(
        error_of([&] { read_subvolume_uuid(plain); }),
        "cannot inspect Btrfs subvolume " + plain + ": ERROR: Not a Btrfs subvolume: " + plain);
    write_script(tools.path(), "btrfs", "printf 'x\\n\\tUUID:\\t\\t-\\n'");
    EXPECT_EQ(error_of([&] { read_subvolume_uuid(plain); }),
              "Btrfs subvolume " + plain + " has no UUID");
}

TEST_F(SubvolumeTest, ExistingSubvolumeIsOnlyChecked) {
    register_subvolume(root / "archive");
    ensure_archive_subvolume(root / "archive");
    EXPECT_EQ(calls(), "subvolume show -- " + (root / "archive").string() + "\n");
}

TEST_F(SubvolumeTest, PlainDirectoryIsRefusedAndNotConverted) {
    fs::create_directories(root / "archive");
    const std::string archive = (root / "archive").string();
    EXPECT_EQ(error_of([&] { ensure_archive_subvolume(archive); }),
              "ARCHIVE_PATH must be a Btrfs subvolume: " + archive +
                  ": ERROR: Not a Btrfs subvolume: " + archive);
    EXPECT_EQ(calls(), "subvolume show -- " + archive + "\n");
}

TEST_F(SubvolumeTest, LinksAndFilesAreNotRealDirectories) {
    register_subvolume(root / "real");
    fs::create_directory_symlink(root / "real", root / "link");
    write_file(root / "file", "");
    for (const char* name : {"link", "file"}) {
        EXPECT_EQ(error_of([&] { ensure_archive_subvolume(root / name); }),
                  "archive path is not a real directory: " + (root / name).string());
    }
    EXPECT_EQ(calls(), "");
}

TEST_F(SubvolumeTest, MissingArchiveIsCreatedBelowAPlainParentChain) {
    const fs::path archive = root / "var" / "lib" / "snapwright";
    ensure_archive_subvolume(archive.string() + "/");
    EXPECT_TRUE(fs::is_directory(root / "var" / "lib"));
    EXPECT_EQ(calls(), "subvolume create -- " + archive.string() + "/\n" + "subvolume show -- " +
                           archive.string() + "/\n");
    EXPECT_EQ(base::read_text_file(tools / "registry"), archive.string() + "/\n");
}

TEST_F(SubvolumeTest, ParentMustBeARealDirectory) {
    fs::create_directories(root / "elsewhere");
    fs::create_directory_symlink(root / "elsewhere", root / "parent");
    EXPECT_EQ(error_of([&] { ensure_archive_subvolume(root / "parent" / "archive"); }),
              "archive parent is not a real directory: " + (root / "parent").string());
    fs::create_symlink(root / "nowhere" / "x", root / "dangling");
    EXPECT_EQ(error_of([&] { ensure_archive_subvolume(root / "dangling" / "archive"); }),
              "I/O operation failed: File exists (os error 17)");
    write_file(root / "blocker", "");
    EXPECT_EQ(error_of([&] { ensure_archive_subvolume(root / "blocker" / "archive"); }),
              "inspect archive path " + (root / "blocker" / "archive").string() +
                  ": Not a directory (os error 20)");
    EXPECT_EQ(error_of([] { ensure_archive_subvolume("snapwright-no-such-archive"); }),
              "archive path has no parent: snapwright-no-such-archive");
    EXPECT_EQ(calls(), "");
}

TEST_F(SubvolumeTest, CreationFailureIsReported) {
    write_script(tools.path(), "btrfs", "echo \"ERROR: cannot create subvolume\" >&2; exit 1");
    const std::string archive = (root / "archive").string();
    EXPECT_EQ(
        error_of([&] { ensure_archive_subvolume(archive); }),
        "cannot create archive Btrfs subvolume " + archive + ": ERROR: cannot create subvolume");
    testing::ScopedEnv no_tools("PATH", tools.path().string() + "/none");
    EXPECT_EQ(error_of([&] { ensure_archive_subvolume(archive); }),
              "execute btrfs subvolume create: No such file or directory (os error 2)");
    EXPECT_EQ(error_of([&] { read_subvolume_uuid(archive); }),
              "execute btrfs subvolume show: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace snapwright::system
