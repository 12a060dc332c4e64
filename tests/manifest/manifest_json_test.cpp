#include "manifest/manifest_json.hpp"

#include <string>

#include <gtest/gtest.h>

#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/manifest_builders.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::manifest {
namespace {

using testing::error_of;

SnapshotManifest layout_manifest() {
    SnapshotManifest manifest;
    manifest.snapshot.key = {"u", "snapper", "root", "42"};
    manifest.snapshot.created_utc = "2024-03-01";
    manifest.snapshot.description = "Grüße \"q\" \\ / \n\t\x01\x7f";
    manifest.snapshot.subvolume = "/s";
    manifest.os_name = "Arch";
    manifest.machine_id = "m";
    BootProfile profile;
    profile.name = "A";
    profile.protocol = "linux";
    profile.kernel = {{"sha256", "ab"}, store::AssetKind::Kernel, "vmlinuz", 18446744073709551615u};
    profile.options = {{"sort-key", {"arch"}}, {"architecture", {}}};
    BootProfile second = profile;
    second.modules = {{{"sha256", "cd"}, store::AssetKind::DeviceTree, "board.dtb", 0}};
    second.options.clear();
    manifest.profiles = {profile, second};
    return manifest;
}

TEST(ManifestJson, WritesTheDocumentedLayout) {
    const std::string expected = R"({
  "schema_version": 1,
  "snapshot": {
    "key": {
      "filesystem_uuid": "u",
      "provider": "snapper",
      "instance": "root",
      "snapshot_id": "42"
    },
    "created_utc": "2024-03-01",
    "description": "Grüße \"q\" \\ / \n\t\u0001)"
                                 "\x7f"
                                 R"(",
    "subvolume": "/s",
    "properties": {}
  },
  "os_name": "Arch",
  "machine_id": "m",
  "source_config": "",
  "profiles": [
    {
      "name": "A",
      "protocol": "linux",
      "kernel": {
        "object": {
          "algorithm": "sha256",
          "digest": "ab"
        },
        "kind": "kernel",
        "original_name": "vmlinuz",
        "size": 18446744073709551615
      },
      "modules": [],
      "cmdline": "",
      "options": {
        "architecture": [],
        "sort-key": [
          "arch"
        ]
      }
    },
    {
      "name": "A",
      "protocol": "linux",
      "kernel": {
        "object": {
          "algorithm": "sha256",
          "digest": "ab"
        },
        "kind": "kernel",
        "original_name": "vmlinuz",
        "size": 18446744073709551615
      },
      "modules": [
        {
          "object": {
            "algorithm": "sha256",
            "digest": "cd"
          },
          "kind": "device_tree",
          "original_name": "board.dtb",
          "size": 0
        }
      ],
      "cmdline": "",
      "options": {}
    }
  ]
}
)";
    EXPECT_EQ(serialize_manifest(layout_manifest()), expected);
}

TEST(ManifestJson, RoundTripsByteForByte) {
    for (const SnapshotManifest& manifest :
         {layout_manifest(), testing::sample_manifest(testing::key("7"))}) {
        const std::string text = serialize_manifest(manifest);
        const SnapshotManifest parsed = parse_manifest(text);
        EXPECT_EQ(parsed, manifest);
        EXPECT_EQ(serialize_manifest(parsed), text);
    }
}

TEST(ManifestJson, InvalidUtf8IsReplacedRatherThanFailingTheWrite) {
    SnapshotManifest manifest = layout_manifest();
    manifest.snapshot.description =
        "a\xff"
        "b";
    const SnapshotManifest parsed = parse_manifest(serialize_manifest(manifest));
    EXPECT_EQ(parsed.snapshot.description,
              "a\xEF\xBF\xBD"
              "b");
}

// The smallest document that is complete; tests splice fields into it.
std::string minimal(const std::string& profiles = "", const std::string& descriptor_extra = "") {
    std::string text = R"({"schema_version": 1,
"snapshot": {"key": {"filesystem_uuid": "u", "provider": "p", "instance": "i", "snapshot_id": "s"},
 "created_utc": "c", "description": "d", "subvolume": "/v")" +
                       descriptor_extra + R"(},
"os_name": "o", "machine_id": "m", "source_config": "x")";
    if (!profiles.empty()) {
        text += ",\n\"profiles\": " + profiles;
    }
    return text + "}";
}

std::string profile_with_kernel(const std::string& kernel_fields, const std::string& extra = "") {
    return R"([{"name": "n", "protocol": "linux", "kernel": {"object": {"algorithm": "sha256", "digest": "d"}, )" +
           kernel_fields + "}" + extra + "}]";
}

const std::string kKernelFields = R"("kind": "kernel", "original_name": "k", "size": 1)";

TEST(ManifestJson, MissingDefaultedFieldsTakeTheirDefaults) {
    const SnapshotManifest without_profiles = parse_manifest(minimal());
    EXPECT_TRUE(without_profiles.profiles.empty());
    EXPECT_TRUE(without_profiles.snapshot.properties.empty());
    EXPECT_EQ(without_profiles.source_config, "x");

    const SnapshotManifest bare_profile =
        parse_manifest(minimal(profile_with_kernel(kKernelFields)));
    ASSERT_EQ(bare_profile.profiles.size(), 1u);
    EXPECT_TRUE(bare_profile.profiles[0].modules.empty());
    EXPECT_EQ(bare_profile.profiles[0].cmdline, "");
    EXPECT_TRUE(bare_profile.profiles[0].options.empty());
    EXPECT_EQ(bare_profile.profiles[0].kernel.size, 1u);
}

TEST(ManifestJson, IgnoresUnknownFieldsAnywhereAndAcceptsAnyOrder) {
    const std::string text = R"({"future": {"nested": [1, null, true]},
"source_config": "x", "machine_id": "m", "os_name": "o",
"snapshot": {"subvolume": "/v", "description": "d", "created_utc": "c", "extra": 1,
  "key": {"snapshot_id": "s", "instance": "i", "provider": "p", "filesystem_uuid": "u", "z": "z"}},
"schema_version": 1})";
    EXPECT_EQ(parse_manifest(text), parse_manifest(minimal()));
}

struct BadDocument {
    const char* name;
    std::string text;
    std::string cause;
};

TEST(ManifestJson, ReportsEachReadingErrorWithItsCause) {
    const std::string no_os_name = R"({"schema_version": 1,
"snapshot": {"key": {"filesystem_uuid": "u", "provider": "p", "instance": "i", "snapshot_id": "s"},
 "created_utc": "c", "description": "d", "subvolume": "/v"},
"machine_id": "m", "source_config": "x"
})";
    const BadDocument cases[] = {
        {"missing required field", no_os_name, "missing field `os_name` at line 5 column 1"},
        {"duplicate field", "{\"schema_version\": 1,\n \"schema_version\": 1}",
         "duplicate field `schema_version` at line 2 column 17"},
        {"duplicate inside a map", minimal("", R"(, "properties": {"type": "a", "type": "b"})"),
         "duplicate field `type` at line 3 column 94"},
        {"unknown asset kind",
         minimal(profile_with_kernel(R"("kind": "initrd", "original_name": "k", "size": 1)")),
         "unknown variant `initrd`, expected one of `kernel`, `initramfs`, `microcode`, "
         "`unified_kernel_image`, `device_tree`, `module`, `other` at line 5 column 125"},
        {"asset kind is case-sensitive",
         minimal(profile_with_kernel(R"("kind": "Kernel", "original_name": "k", "size": 1)")),
         "unknown variant `Kernel`, expected one of `kernel`, `initramfs`, `microcode`, "
         "`unified_kernel_image`, `device_tree`, `module`, `other` at line 5 column 125"},
        {"string where a record belongs", R"({"schema_version": 1, "snapshot": "s"})",
         "invalid type: string \"s\", expected struct SnapshotDescriptor at line 1 column 37"},
        {"number where a string belongs", minimal("", R"(, "properties": {"type": 3})"),
         "invalid type: integer `3`, expected a string at line 3 column 84"},
        {"object where a list belongs", minimal("{}"),
         "invalid type: map, expected a sequence at line 5 column 13"},
        {"not an object", "[1]",
         "invalid type: sequence, expected struct SnapshotManifest at line 1 "
         "column 1"},
        {"negative schema version", R"({"schema_version": -1})",
         "invalid value: integer `-1`, expected u32 at line 1 column 21"},
        {"schema version above 32 bits", R"({"schema_version": 4294967296})",
         "invalid value: integer `4294967296`, expected u32 at line 1 column 29"},
        {"fractional schema version", R"({"schema_version": 1.0})",
         "invalid type: floating point `1.0`, expected u32 at line 1 column 22"},
        {"negative size",
         minimal(profile_with_kernel(R"("kind": "kernel", "original_name": "k", "size": -5)")),
         "invalid value: integer `-5`, expected u64 at line 5 column 159"},
        {"size above 64 bits",
         minimal(profile_with_kernel(
             R"("kind": "kernel", "original_name": "k", "size": 18446744073709551616)")),
         "invalid value: integer `18446744073709551616`, expected u64 at line 5 column 177"},
        {"missing kernel size",
         minimal(profile_with_kernel(R"("kind": "kernel", "original_name": "k")")),
         "missing field `size` at line 5 column 148"},
        {"syntax error", "{\"schema_version\": 1,}",
         "parse error at line 1, column 22: syntax error while parsing object key - unexpected "
         "'}'; expected string literal"},
        {"empty text", "",
         "parse error at line 1, column 1: syntax error while parsing value - unexpected end of "
         "input; expected '[', '{', or a literal"},
        {"invalid UTF-8 in a string", "{\"os_name\": \"\xff\"}",
         "parse error at line 1, column 14: syntax error while parsing value - invalid string: "
         "ill-formed UTF-8 byte; last read: '\"\xEF\xBF\xBD'"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.name);
        EXPECT_EQ(error_of([&] { (void)parse_manifest(bad.text); }),
                  "JSON operation failed: " + bad.cause);
    }
}

TEST(ManifestJson, AcceptsTheLargestIntegers) {
    const SnapshotManifest manifest = parse_manifest(minimal(profile_with_kernel(
        R"("kind": "kernel", "original_name": "k", "size": 18446744073709551615)")));
    EXPECT_EQ(manifest.profiles[0].kernel.size, 18446744073709551615u);
    const std::string top = minimal();
    EXPECT_EQ(parse_manifest("{\"schema_version\": 4294967295" + top.substr(20)).schema_version,
              4294967295u);
}

}  // namespace
}  // namespace snapwright::manifest
