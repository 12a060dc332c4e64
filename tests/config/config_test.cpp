#include "config/config.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/error_of.hpp"

namespace snapwright::config {
namespace {

using Paths = std::vector<std::filesystem::path>;

std::string error_of(const std::string& text) {
    return testing::error_of([&] { (void)parse_config(text); });
}

TEST(DefaultConfig, HasEveryDefault) {
    const Config config = default_config();
    EXPECT_EQ(config.provider, ProviderKind::Btrfs);
    EXPECT_FALSE(config.boot_path);
    EXPECT_FALSE(config.entries_directory);
    EXPECT_EQ(config.data_directory, "snapwright");
    EXPECT_EQ(config.archive_path, "/var/lib/snapwright");
    EXPECT_FALSE(config.target_os_name);
    EXPECT_EQ(config.machine_id_file, "/etc/machine-id");
    EXPECT_EQ(config.snapper_config, "root");
    EXPECT_FALSE(config.snapshots_path);
    EXPECT_EQ(config.watch_paths, Paths{"/.snapshots"});
    EXPECT_EQ(config.snapshot_limit, 50u);
    EXPECT_EQ(config.snapshot_kernel_limit, 3u);
    EXPECT_EQ(config.snapshot_asset_limit_bytes, 536870912u);
    EXPECT_EQ(config.snapshot_kernel_parameters, "");
    EXPECT_EQ(config.debounce_milliseconds, 1000u);
    EXPECT_FALSE(config.auth_method);
}

TEST(ParseConfig, EmptyAndCommentOnlyTextGiveDefaults) {
    for (const std::string text :
         {"", "\n\n", "# comment\n\n   # indented comment\r\n\t\n", "UNKNOWN_KEY=whatever"}) {
        EXPECT_EQ(parse_config(text), default_config()) << text;
    }
}

TEST(ParseConfig, ReadsEveryKey) {
    const Config config = parse_config(
        "PROVIDER=snapper\n"
        "BOOT_PATH=/boot\n"
        "ENTRIES_DIRECTORY=/boot/loader/entries\n"
        "DATA_DIRECTORY=snaps\n"
        "ARCHIVE_PATH=/srv/archive\n"
        "TARGET_OS_NAME=Example Linux\n"
        "MACHINE_ID_FILE=/etc/other-id\n"
        "SNAPPER_CONFIG=home-1.x_y\n"
        "SNAPSHOTS_PATH=/snaps\n"
        "WATCH_PATHS=/a /b\n"
        "SNAPSHOT_LIMIT=7\n"
        "SNAPSHOT_KERNEL_LIMIT=0\n"
        "SNAPSHOT_ASSET_LIMIT_BYTES=18446744073709551615\n"
        "SNAPSHOT_KERNEL_PARAMETERS=quiet splash\n"
        "DEBOUNCE_MILLISECONDS=+250\n"
        "AUTH_METHOD=run0 --user root\n"
        "CREATE_SNAPPER_CONFIG=no\n");
    EXPECT_EQ(config.provider, ProviderKind::Snapper);
    EXPECT_EQ(config.boot_path, std::filesystem::path("/boot"));
    EXPECT_EQ(config.entries_directory, std::filesystem::path("/boot/loader/entries"));
    EXPECT_EQ(config.data_directory, "snaps");
    EXPECT_EQ(config.archive_path, "/srv/archive");
    EXPECT_EQ(config.target_os_name, "Example Linux");
    EXPECT_EQ(config.machine_id_file, "/etc/other-id");
    EXPECT_EQ(config.snapper_config, "home-1.x_y");
    EXPECT_EQ(config.snapshots_path, "/snaps");
    EXPECT_EQ(config.watch_paths, (Paths{"/a", "/b"}));
    EXPECT_EQ(config.snapshot_limit, 7u);
    EXPECT_EQ(config.snapshot_kernel_limit, 0u);
    EXPECT_EQ(config.snapshot_asset_limit_bytes, 18446744073709551615u);
    EXPECT_EQ(config.snapshot_kernel_parameters, "quiet splash");
    EXPECT_EQ(config.debounce_milliseconds, 250u);
    EXPECT_EQ(config.auth_method, "run0 --user root");
}

struct ValueCase {
    std::string text;
    std::string expected;
};

TEST(ParseConfig, ValueSyntax) {
    // Each text sets TARGET_OS_NAME; `expected` is the stored name.
    const std::vector<ValueCase> cases = {
        {"TARGET_OS_NAME = Example  ", "Example"},
        {"\t TARGET_OS_NAME\t=\tExample\r", "Example"},
        {"TARGET_OS_NAME=a=b=c", "a=b=c"},
        {"TARGET_OS_NAME=x # not a comment", "x # not a comment"},
        {"TARGET_OS_NAME=it\"s", "it\"s"},
        {"TARGET_OS_NAME=a'b'", "a'b'"},
        {"TARGET_OS_NAME='single \"q\" \\n \\\\'", "single \"q\" \\n \\\\"},
        {"TARGET_OS_NAME='$HOME `x`'", "$HOME `x`"},
        {"TARGET_OS_NAME=\"a\\\"b\"", "a\"b"},
        {"TARGET_OS_NAME=\"a\\\\b\"", "a\\b"},
        {"TARGET_OS_NAME=\"\\$x \\`y\\`\"", "$x `y`"},
        {"TARGET_OS_NAME=\"a\\nb\"", "a\\nb"},
        {"TARGET_OS_NAME=\"a\\\\\\\\\\\\n\"", "a\\\\\\n"},
        {"TARGET_OS_NAME=\"trailing\\\"", "trailing\\"},
        {"TARGET_OS_NAME=\"  padded  \"", "padded"},
        {"TARGET_OS_NAME=' padded '", "padded"},
        {"TARGET_OS_NAME=\xC2\xA0spaced\xE2\x80\x83", "spaced"},
        {"TARGET_OS_NAME=first\nTARGET_OS_NAME=second", "second"},
    };
    for (const ValueCase& c : cases) {
        EXPECT_EQ(parse_config(c.text).target_os_name, c.expected) << c.text;
    }
}

TEST(ParseConfig, EmptyValuesKeepDefaults) {
    EXPECT_EQ(parse_config("TARGET_OS_NAME=''").target_os_name, std::nullopt);
    EXPECT_EQ(parse_config("TARGET_OS_NAME=\"   \"").target_os_name, std::nullopt);
    EXPECT_EQ(parse_config("PROVIDER=\nSNAPSHOT_LIMIT=\nARCHIVE_PATH=\nAUTH_METHOD="),
              default_config());
    // Present-but-empty kernel parameters replace the default, which is empty too.
    EXPECT_EQ(parse_config("SNAPSHOT_KERNEL_PARAMETERS=a\nSNAPSHOT_KERNEL_PARAMETERS=")
                  .snapshot_kernel_parameters,
              "");
}

struct ErrorCase {
    std::string text;
    std::string message;
};

void expect_errors(const std::vector<ErrorCase>& cases) {
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(error_of(c.text), c.message) << c.text;
    }
}

TEST(ParseConfig, SyntaxErrors) {
    expect_errors({
        {"JUST_A_WORD", "invalid configuration line 1: expected KEY=VALUE"},
        {"# one\n\nA=1\n  # four\nbroken", "invalid configuration line 5: expected KEY=VALUE"},
        {"# comment\n\nprovider=btrfs", "invalid configuration key on line 3"},
        {"=value", "invalid configuration key on line 1"},
        {" = value", "invalid configuration key on line 1"},
        {"KEY-NAME=1", "invalid configuration key on line 1"},
        {"KEY NAME=1", "invalid configuration key on line 1"},
        {"A=1\r\nÄ=1", "invalid configuration key on line 2"},
        {"TARGET_OS_NAME='", "unterminated single-quoted configuration value"},
        {"TARGET_OS_NAME='abc", "unterminated single-quoted configuration value"},
        {"TARGET_OS_NAME='abc\"", "unterminated single-quoted configuration value"},
        {"TARGET_OS_NAME=\"", "unterminated double-quoted configuration value"},
        {"TARGET_OS_NAME=\"abc'", "unterminated double-quoted configuration value"},
        {"UNKNOWN='open", "unterminated single-quoted configuration value"},
        // Every line passes the syntax check before any value is judged.
        {"PROVIDER=zfs\nbroken", "invalid configuration line 2: expected KEY=VALUE"},
        {"SNAPSHOT_LIMIT=-1\nlower=1", "invalid configuration key on line 2"},
    });
}

TEST(ParseConfig, ValueErrorsFollowTheKeyOrder) {
    expect_errors({
        // The later line wins, so an invalid earlier value is never interpreted.
        {"PROVIDER=zfs\nPROVIDER=btrfs\nSNAPSHOT_LIMIT=x",
         "SNAPSHOT_LIMIT must be a non-negative integer"},
        // Several invalid keys: the first in the fixed order is reported, whatever the file
        // order.
        {"CREATE_SNAPPER_CONFIG=yes\nDEBOUNCE_MILLISECONDS=x\nSNAPSHOT_LIMIT=x\nPROVIDER=zfs",
         "unsupported PROVIDER 'zfs'; expected 'btrfs' or 'snapper'"},
        {"AUTH_METHOD=sudo\nWATCH_PATHS=\nARCHIVE_PATH=/",
         "ARCHIVE_PATH cannot be the filesystem root"},
        {"SNAPSHOT_KERNEL_LIMIT=x\nSNAPSHOT_LIMIT=y",
         "SNAPSHOT_LIMIT must be a non-negative integer"},
        {"CREATE_SNAPPER_CONFIG=1\nDEBOUNCE_MILLISECONDS=-5",
         "DEBOUNCE_MILLISECONDS must be a non-negative integer"},
        {"WATCH_PATHS=/\nSNAPSHOTS_PATH=rel", "SNAPSHOTS_PATH must be an absolute path"},
    });
}

TEST(ParseConfig, Provider) {
    EXPECT_EQ(parse_config("PROVIDER=SnApPeR").provider, ProviderKind::Snapper);
    EXPECT_EQ(parse_config("PROVIDER=\"Snapper\"").provider, ProviderKind::Snapper);
    EXPECT_EQ(parse_config("PROVIDER='BTRFS'").provider, ProviderKind::Btrfs);
    expect_errors({
        {"PROVIDER=btrfs # default",
         "unsupported PROVIDER 'btrfs # default'; expected 'btrfs' or 'snapper'"},
        {"PROVIDER=lvm", "unsupported PROVIDER 'lvm'; expected 'btrfs' or 'snapper'"},
    });
}

TEST(ParseConfig, AbsolutePathKeys) {
    EXPECT_EQ(parse_config("BOOT_PATH=/boot/./efi").boot_path,
              std::filesystem::path("/boot/./efi"));
    EXPECT_EQ(parse_config("BOOT_PATH=//boot//").boot_path, std::filesystem::path("//boot//"));
    EXPECT_EQ(parse_config("ARCHIVE_PATH=/var/lib/x/").archive_path, "/var/lib/x/");
    expect_errors({
        {"BOOT_PATH=boot", "BOOT_PATH must be an absolute path"},
        {"BOOT_PATH=./boot", "BOOT_PATH must be an absolute path"},
        {"BOOT_PATH=/boot/../etc", "BOOT_PATH contains unsafe path components"},
        {"BOOT_PATH=/..", "BOOT_PATH contains unsafe path components"},
        {"ENTRIES_DIRECTORY=loader/entries", "ENTRIES_DIRECTORY must be an absolute path"},
        {"ENTRIES_DIRECTORY=/boot/..", "ENTRIES_DIRECTORY contains unsafe path components"},
        {"ARCHIVE_PATH=var", "ARCHIVE_PATH must be an absolute path"},
        {"ARCHIVE_PATH=/var/../..", "ARCHIVE_PATH contains unsafe path components"},
        {"ARCHIVE_PATH=/", "ARCHIVE_PATH cannot be the filesystem root"},
        {"ARCHIVE_PATH=//", "ARCHIVE_PATH cannot be the filesystem root"},
        {"ARCHIVE_PATH=/./", "ARCHIVE_PATH cannot be the filesystem root"},
        {"MACHINE_ID_FILE=machine-id", "MACHINE_ID_FILE must be an absolute path"},
        {"MACHINE_ID_FILE=/etc/../machine-id", "MACHINE_ID_FILE contains unsafe path components"},
        {"SNAPSHOTS_PATH=.snapshots", "SNAPSHOTS_PATH must be an absolute path"},
        {"SNAPSHOTS_PATH=/../.snapshots", "SNAPSHOTS_PATH contains unsafe path components"},
        {std::string("MACHINE_ID_FILE=/etc/x\0/y", 25),
         "MACHINE_ID_FILE contains unsafe path components"},
        {std::string("WATCH_PATHS=/a\0b", 16), "WATCH_PATHS contains unsafe path components"},
    });
}

TEST(ParseConfig, DataDirectory) {
    EXPECT_EQ(parse_config("DATA_DIRECTORY=/snaps").data_directory, "snaps");
    EXPECT_EQ(parse_config("DATA_DIRECTORY=a/b").data_directory, "a/b");
    EXPECT_EQ(parse_config("DATA_DIRECTORY=a//b/").data_directory, "a//b/");
    EXPECT_EQ(parse_config("DATA_DIRECTORY=..x").data_directory, "..x");
    EXPECT_EQ(parse_config("DATA_DIRECTORY=.x/y.").data_directory, ".x/y.");
    expect_errors({
        {"DATA_DIRECTORY=/", "unsafe DATA_DIRECTORY: /"},
        {"DATA_DIRECTORY=//snaps", "unsafe DATA_DIRECTORY: //snaps"},
        {"DATA_DIRECTORY=.", "unsafe DATA_DIRECTORY: ."},
        {"DATA_DIRECTORY=./snaps", "unsafe DATA_DIRECTORY: ./snaps"},
        {"DATA_DIRECTORY=/./snaps", "unsafe DATA_DIRECTORY: /./snaps"},
        {"DATA_DIRECTORY=..", "unsafe DATA_DIRECTORY: .."},
        {"DATA_DIRECTORY=a/./b", "unsafe DATA_DIRECTORY: a/./b"},
        {"DATA_DIRECTORY=snap/./wright", "unsafe DATA_DIRECTORY: snap/./wright"},
        {"DATA_DIRECTORY=snapwright/.", "unsafe DATA_DIRECTORY: snapwright/."},
        {"DATA_DIRECTORY=snapwright/./", "unsafe DATA_DIRECTORY: snapwright/./"},
        {"DATA_DIRECTORY=/.", "unsafe DATA_DIRECTORY: /."},
        {"DATA_DIRECTORY=a/../b", "unsafe DATA_DIRECTORY: a/../b"},
        {"DATA_DIRECTORY=snaps/../..", "unsafe DATA_DIRECTORY: snaps/../.."},
        {std::string("DATA_DIRECTORY=a\0b", 18), std::string("unsafe DATA_DIRECTORY: a\0b", 26)},
    });
}

TEST(ParseConfig, SnapperConfigName) {
    const std::string longest(128, 'a');
    EXPECT_EQ(parse_config("SNAPPER_CONFIG=" + longest).snapper_config, longest);
    expect_errors({
        {"SNAPPER_CONFIG=" + longest + "a", "invalid SNAPPER_CONFIG: " + longest + "a"},
        {"SNAPPER_CONFIG=root home", "invalid SNAPPER_CONFIG: root home"},
        {"SNAPPER_CONFIG=../root", "invalid SNAPPER_CONFIG: ../root"},
        {"SNAPPER_CONFIG=r\xC3\xB6\x6F\x74", "invalid SNAPPER_CONFIG: r\xC3\xB6ot"},
    });
}

TEST(ParseConfig, WatchPaths) {
    EXPECT_EQ(parse_config("WATCH_PATHS=/a\t/b  /a/ //a /b/./ /c").watch_paths,
              (Paths{"/a", "/b", "/c"}));
    // A vertical tab is not a separator, so it stays inside the word.
    EXPECT_EQ(parse_config("WATCH_PATHS=/a\v/b").watch_paths, Paths{"/a\v/b"});
    EXPECT_EQ(parse_config("WATCH_PATHS=\"/x /y\"").watch_paths, (Paths{"/x", "/y"}));
    expect_errors({
        {"WATCH_PATHS=", "WATCH_PATHS must contain at least one absolute path"},
        {"WATCH_PATHS=''", "WATCH_PATHS must contain at least one absolute path"},
        {"WATCH_PATHS=/a rel", "WATCH_PATHS must be an absolute path"},
        {"WATCH_PATHS=/a/../b", "WATCH_PATHS contains unsafe path components"},
        {"WATCH_PATHS=/a //",
         "WATCH_PATHS must name snapshot parent directories, not the filesystem root"},
    });
}

TEST(ParseConfig, Numbers) {
    EXPECT_EQ(parse_config("SNAPSHOT_LIMIT=+7").snapshot_limit, 7u);
    EXPECT_EQ(parse_config("SNAPSHOT_LIMIT=0007").snapshot_limit, 7u);
    EXPECT_EQ(parse_config("SNAPSHOT_LIMIT=0").snapshot_limit, 0u);
    EXPECT_EQ(parse_config("SNAPSHOT_LIMIT=00000000000000000000000001").snapshot_limit, 1u);
    EXPECT_EQ(parse_config("DEBOUNCE_MILLISECONDS=18446744073709551615").debounce_milliseconds,
              18446744073709551615u);
    const std::string refused = "SNAPSHOT_LIMIT must be a non-negative integer";
    expect_errors({
        {"SNAPSHOT_LIMIT=-1", refused},
        {"SNAPSHOT_LIMIT=-0", refused},
        {"SNAPSHOT_LIMIT=+", refused},
        {"SNAPSHOT_LIMIT=++1", refused},
        {"SNAPSHOT_LIMIT=1 000", refused},
        {"SNAPSHOT_LIMIT=0x10", refused},
        {"SNAPSHOT_LIMIT=1e3", refused},
        {"SNAPSHOT_LIMIT=\xEF\xBC\x91", refused},
        {"SNAPSHOT_LIMIT=18446744073709551616", refused},
        {"SNAPSHOT_LIMIT=123456789012345678901", refused},
        {"SNAPSHOT_KERNEL_LIMIT=x", "SNAPSHOT_KERNEL_LIMIT must be a non-negative integer"},
        {"SNAPSHOT_ASSET_LIMIT_BYTES=512M",
         "SNAPSHOT_ASSET_LIMIT_BYTES must be a non-negative integer"},
        {"DEBOUNCE_MILLISECONDS=1.5", "DEBOUNCE_MILLISECONDS must be a non-negative integer"},
    });
}

TEST(ParseConfig, CreateSnapperConfigIsNeverHonoured) {
    for (const std::string value : {"1", "on", "ON", "yes", "Yes", "TRUE", "'true'"}) {
        EXPECT_EQ(error_of("CREATE_SNAPPER_CONFIG=" + value),
                  "snapwright does not create Snapper configurations or snapshots")
            << value;
    }
    for (const std::string value : {"", "0", "no", "false", "off", "maybe", "yes please", "2"}) {
        EXPECT_EQ(parse_config("CREATE_SNAPPER_CONFIG=" + value), default_config()) << value;
    }
}

}  // namespace
}  // namespace snapwright::config
