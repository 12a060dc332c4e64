#include "bootloader/boot_paths.hpp"

#include <cctype>

#include <gtest/gtest.h>

#include "store/object_store.hpp"
#include "support/error_of.hpp"

namespace snapwright::bootloader {
namespace {

const fs::path kData = "snapwright/0123456789abcdef0123456789abcdef";
const std::string kDigest = "0f" + std::string(62, 'e');
const std::string kPath =
    "/snapwright/0123456789abcdef0123456789abcdef/objects/sha256/0f/" + kDigest;

std::string error_of(std::string_view path) {
    return testing::error_of([&] { (void)object_id_from_boot_path(path, kData); });
}

TEST(BootPaths, RoundTripsAnObjectIdentity) {
    const store::ObjectId id{"sha256", kDigest};
    EXPECT_EQ(boot_asset_path(kData, id), kPath);
    EXPECT_EQ(boot_asset_path("/" + kData.string() + "/./", id), kPath);
    EXPECT_EQ(object_id_from_boot_path(kPath, kData), id);
}

TEST(BootPaths, RefusesIdentitiesThatAreNotStoredObjects) {
    const auto error = [](const store::ObjectId& id) {
        return testing::error_of([&] { (void)boot_asset_path(kData, id); });
    };
    EXPECT_EQ(error({"md5", kDigest}), "unsupported object hash algorithm: md5");
    EXPECT_EQ(error({"sha256", "../../../etc"}), "invalid SHA-256 object digest");
    EXPECT_EQ(error({"sha256", std::string(64, 'A')}), "invalid SHA-256 object digest");
}

TEST(BootPaths, AcceptsEquivalentSpellingsAndFoldsTheDigest) {
    const store::ObjectId id{"sha256", kDigest};
    EXPECT_EQ(
        object_id_from_boot_path(
            "//snapwright/./0123456789abcdef0123456789abcdef/objects/sha256/0F/" + kDigest, kData),
        id);
    std::string upper = kDigest;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(c));
    EXPECT_EQ(object_id_from_boot_path(
                  "/snapwright/0123456789abcdef0123456789abcdef/objects/sha256/0f/" + upper, kData),
              id);
}

TEST(BootPaths, RefusesPathsOutsideTheObjectNamespace) {
    EXPECT_EQ(error_of("snapwright/x"), "generated boot asset path is not absolute: snapwright/x");
    const std::string outside =
        "generated boot asset path is outside the snapwright object namespace: ";
    const std::string data = "/snapwright/0123456789abcdef0123456789abcdef";
    for (const std::string& path : {
             std::string("/vmlinuz-linux"),
             "/snapwright/fedcba9876543210fedcba9876543210/objects/sha256/0f/" + kDigest,
             data + "/objects/sha256/0f/" + kDigest + "/x",
             data + "/objects/sha1/0f/" + kDigest,
             data + "/archive/sha256/0f/" + kDigest,
             data + "/objects/sha256/../" + kDigest,
             data + "/x/../objects/sha256/0f/" + kDigest,
             data + "/objects/sha256/" + kDigest,
         }) {
        EXPECT_EQ(error_of(path), outside + path);
    }
}

TEST(BootPaths, RefusesInvalidDigestsAndFanOut) {
    const std::string invalid = "generated boot asset path has an invalid content digest: ";
    const std::string base = "/snapwright/0123456789abcdef0123456789abcdef/objects/sha256/";
    for (const std::string& path : {
             base + "0e/" + kDigest,
             base + "0fe/" + kDigest,
             base + "0f/" + kDigest.substr(1),
             base + "0f/" + kDigest + "0",
             base + "0f/0f" + std::string(61, 'e') + "g",
         }) {
        EXPECT_EQ(error_of(path), invalid + path);
    }
}

}  // namespace
}  // namespace snapwright::bootloader
