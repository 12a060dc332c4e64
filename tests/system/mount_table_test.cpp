#include "system/mount_table.hpp"

#include <utility>

#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"
#include "system/host_identity.hpp"

namespace snapwright::system {
namespace {

namespace fs = std::filesystem;
using testing::error_of;
using testing::FakeToolPath;
using testing::ScratchDir;
using testing::write_file;
using testing::write_script;

MountRow row(std::string target, std::optional<std::string> fstype,
             std::optional<std::string> uuid = std::nullopt) {
    return MountRow{std::move(target), "/", std::move(uuid), std::nullopt, std::move(fstype)};
}

TEST(FindmntJson, FlattensDepthFirstParentsBeforeChildren) {
    const MountTable table = parse_findmnt_json(R"({"filesystems": [
      {"target": "/", "fsroot": "/@", "uuid": "AAA", "label": null, "fstype": "btrfs",
       "children": [
         {"target": "/boot", "fsroot": "/", "uuid": "B1", "label": "ESP", "fstype": "vfat",
          "children": [{"target": "/boot/efi", "fsroot": "/", "fstype": "vfat"}]},
         {"target": "/home", "fsroot": "/@home", "uuid": "AAA", "fstype": "btrfs"}
       ]},
      {"target": "/run/x", "fsroot": "/", "uuid": null, "fstype": null, "extra": 1}
    ]})");
    const MountTable expected = {
        MountRow{"/", "/@", "AAA", std::nullopt, "btrfs"},
        MountRow{"/boot", "/", "B1", "ESP", "vfat"},
        MountRow{"/boot/efi", "/", std::nullopt, std::nullopt, "vfat"},
        MountRow{"/home", "/@home", "AAA", std::nullopt, "btrfs"},
        MountRow{"/run/x", "/", std::nullopt, std::nullopt, std::nullopt},
    };
    EXPECT_EQ(table, expected);
}

TEST(FindmntJson, RecordsWithoutTargetOrFsrootAreSkippedButTheirChildrenKept) {
    const MountTable table = parse_findmnt_json(R"({"filesystems": [
      {"target": "/", "fsroot": null, "fstype": "btrfs",
       "children": [{"target": "/boot", "fsroot": "/", "fstype": "vfat"}]},
      {"fsroot": "/", "children": [{"target": "/srv", "fsroot": "/"}]}
    ]})");
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].target, "/boot");
    EXPECT_EQ(table[1].target, "/srv");
    EXPECT_TRUE(parse_findmnt_json(R"({"filesystems": []})").empty());
}

TEST(FindmntJson, MalformedDocumentsNameWhatAndWhere) {
    const std::string prefix = "JSON operation failed: ";
    EXPECT_EQ(error_of([] { parse_findmnt_json("{"); }).rfind(prefix + "parse error at line 1", 0),
              0u);
    const std::pair<const char*, const char*> cases[] = {
        {"[]", "invalid type: sequence, expected findmnt output at line 1 column 1"},
        {"{}", "missing field `filesystems` at line 1 column 2"},
        {R"({"filesystems": {}})", "invalid type: map, expected a sequence at line 1 column 17"},
        {R"({"filesystems": [{"target": 5}]})",
         "invalid type: integer `5`, expected a string or null at line 1 column 29"},
        {R"({"filesystems": [{"children": 1}]})",
         "invalid type: integer `1`, expected a sequence at line 1 column 31"},
        {R"({"filesystems": ["x"]})",
         "invalid type: string \"x\", expected a filesystem record at line 1 column 20"},
        {R"({"filesystems": [{"target": "/", "target": "/"}]})",
         "duplicate field `target` at line 1 column 41"},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(error_of([&] { parse_findmnt_json(text); }), prefix + message) << text;
    }
}

TEST(RootDerivations, UseTheRowMountedAtRoot) {
    const MountTable table = {row("/boot", "vfat", "B"), row("//", "btrfs", "R"),
                              row("/", "ext4", "X")};
    EXPECT_EQ(root_filesystem_type(table), "btrfs");
    EXPECT_EQ(root_mount_point(table), "//");
    EXPECT_EQ(root_filesystem_uuid(table), "R");
}

TEST(RootDerivations, WithoutRootRowOnlyTheMountPointFallsBackToTheOneBtrfsRow) {
    const MountTable table = {row("/boot", "vfat"), row("/sysroot", "btrfs", "U")};
    EXPECT_EQ(root_mount_point(table), "/sysroot");
    EXPECT_EQ(root_filesystem_uuid(table), "U");
    EXPECT_EQ(error_of([&] { root_filesystem_type(table); }),
              "root filesystem type is unavailable");
}

TEST(RootDerivations, TypeAndMountPointFailures) {
    EXPECT_EQ(error_of([] { root_filesystem_type({row("/", std::nullopt)}); }),
              "root filesystem type is unavailable");
    EXPECT_EQ(error_of([] { root_filesystem_type({row("/", "")}); }),
              "root filesystem type is unavailable");
    EXPECT_EQ(error_of([] { root_mount_point({row("/a", "ext4")}); }),
              "root filesystem mount is unavailable");
    EXPECT_EQ(error_of([] {
                  root_mount_point({row("/a", "btrfs"), row("/b", "btrfs")});
              }),
              "root filesystem mount is unavailable");
    EXPECT_EQ(error_of([] { root_mount_point({}); }), "root filesystem mount is unavailable");
}

TEST(RootDerivations, UuidFallsBackToTheOneValueSharedByBtrfsRows) {
    EXPECT_EQ(root_filesystem_uuid({row("/", "btrfs", ""), row("/home", "btrfs", "S"),
                                    row("/var", "btrfs", "S"), row("/boot", "vfat", "V")}),
              "S");
    // An empty uuid is no value of its own.
    EXPECT_EQ(root_filesystem_uuid({row("/a", "btrfs", ""), row("/b", "btrfs", "S")}), "S");
    const std::string failure = "cannot determine the root Btrfs filesystem UUID";
    EXPECT_EQ(error_of([] {
                  root_filesystem_uuid(
                      {row("/", "btrfs", ""), row("/a", "btrfs", "S"), row("/b", "btrfs", "T")});
              }),
              failure);
    EXPECT_EQ(error_of([] {
                  root_filesystem_uuid({row("/", "btrfs"), row("/a", "BTRFS", "S")});
              }),
              failure);
    EXPECT_EQ(error_of([] { root_filesystem_uuid({row("/a", "btrfs", "")}); }), failure);
}

TEST(MountPointContaining, PicksTheDeepestAndThenTheLatestMount) {
    MountTable table = {row("/", "btrfs"), row("/boot", "vfat"), row("/boot/efi", "vfat"),
                        row("/bootx", "ext4")};
    EXPECT_EQ(mount_point_containing(table, "/boot/efi/loader/entries"), "/boot/efi");
    EXPECT_EQ(mount_point_containing(table, "/bootx/a"), "/bootx");
    EXPECT_EQ(mount_point_containing(table, "/boot//"), "/boot");
    EXPECT_EQ(mount_point_containing(table, "/etc"), "/");

    table = {row("/", "btrfs"), row("/boot/", "vfat", "first"), row("/boot", "vfat", "second"),
             row("/", "tmpfs")};
    EXPECT_EQ(mount_point_containing(table, "/boot/loader"), "/boot");
    EXPECT_EQ(mount_point_containing(table, "/etc"), "/");
    EXPECT_EQ(error_of([] { mount_point_containing({row("/boot", "vfat")}, "/etc/\xff"); }),
              "no mounted filesystem contains /etc/\xEF\xBF\xBD");
}

TEST(OsName, PrefersPrettyNameAndStripsOnePairOfQuotes) {
    EXPECT_EQ(parse_os_name("NAME=\"Arch Linux\"\nPRETTY_NAME='Arch \"Rolling\"'\n", "/x"),
              "Arch \"Rolling\"");
    EXPECT_EQ(parse_os_name("PRETTY_NAME=\nNAME=Debian\r\n", "/x"), "Debian");
    EXPECT_EQ(parse_os_name("NAME=\"\"\nNAME=\"", "/x"), "\"");
    EXPECT_EQ(parse_os_name("  NAME  =  \"a\\\"b\"  \nNAME=later\nNAME=\n", "/x"), "later");
    EXPECT_EQ(parse_os_name("no equals here\nNAME='mixed\"\nID=x=y\n", "/x"), "'mixed\"");
    EXPECT_EQ(parse_os_name("# comment\nPRETTY_NAME=one\nPRETTY_NAME=two", "/x"), "two");
}

TEST(OsName, MissingNamesAndUnreadableFiles) {
    EXPECT_EQ(error_of([] { parse_os_name("ID=arch\nNAME=\nPRETTY_NAME=''\n", "/etc/os"); }),
              "/etc/os has no NAME or PRETTY_NAME");
    EXPECT_EQ(error_of([] { parse_os_name("name=lower\n", "/etc/os"); }),
              "/etc/os has no NAME or PRETTY_NAME");
    ScratchDir dir;
    write_file(dir / "os-release", "NAME=Fine\n");
    write_file(dir / "bad", "NAME=\xff\n");
    EXPECT_EQ(read_os_name(dir / "os-release"), "Fine");
    EXPECT_EQ(error_of([&] { read_os_name(dir / "bad"); }),
              "read " + (dir / "bad").string() + ": stream did not contain valid UTF-8");
    EXPECT_EQ(error_of([&] { read_os_name(dir / "missing"); }),
              "read " + (dir / "missing").string() + ": No such file or directory (os error 2)");
}

TEST(MachineId, AcceptsThirtyTwoHexDigitsAndLowerCasesThem) {
    EXPECT_EQ(parse_machine_id("0123456789ABCDEF0123456789abcdef\n", "/m"),
              "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(parse_machine_id("  0123456789abcdef0123456789abcdef  ", "/m"),
              "0123456789abcdef0123456789abcdef");
    for (const char* bad : {"0123456789abcdef0123456789abcde", "0123456789abcdef0123456789abcdef0",
                            "01234567-89abcdef0123456789abcde", "0123456789abcdeg0123456789abcdef",
                            "", "0123456789abcdef 0123456789abcdef"}) {
        EXPECT_EQ(error_of([&] { parse_machine_id(bad, "/etc/machine-id"); }),
                  "invalid machine-id in /etc/machine-id")
            << bad;
    }
    ScratchDir dir;
    write_file(dir / "machine-id", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n");
    EXPECT_EQ(read_machine_id(dir / "machine-id"), "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
    EXPECT_EQ(error_of([&] { read_machine_id(dir / "none"); }),
              "read " + (dir / "none").string() + ": No such file or directory (os error 2)");
}

class ReadMountTableTest : public ::testing::Test {
  protected:
    ScratchDir tools;
    FakeToolPath path{tools.path()};
};

TEST_F(ReadMountTableTest, RunsFindmntWithTheColumnsItParses) {
    write_script(tools.path(), "findmnt",
                 "[ \"$*\" = '--json --output TARGET,FSROOT,UUID,LABEL,FSTYPE' ] || exit 9\n"
                 "printf '{\"filesystems\":[{\"target\":\"/\",\"fsroot\":\"/@\","
                 "\"fstype\":\"btrfs\",\"label\":\"\\377\"}]}'");
    const MountTable table = read_mount_table();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].target, "/");
    EXPECT_EQ(table[0].label, "\xEF\xBF\xBD");
}

TEST_F(ReadMountTableTest, ReportsFailuresOfFindmnt) {
    write_script(tools.path(), "findmnt",
                 "echo 'findmnt: cannot open /proc/self/mountinfo' >&2; exit 1");
    EXPECT_EQ(error_of([] { read_mount_table(); }),
              "findmnt failed: findmnt: cannot open /proc/self/mountinfo");
    write_script(tools.path(), "findmnt", "echo not json");
    EXPECT_EQ(error_of([] { read_mount_table(); }).rfind("JSON operation failed: ", 0), 0u);
    fs::remove(tools / "findmnt");
    testing::ScopedEnv only_tools("PATH", tools.path().string());
    EXPECT_EQ(error_of([] { read_mount_table(); }),
              "execute findmnt: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace snapwright::system
