#include <gtest/gtest.h>

#include "generation/boot_space.hpp"
#include "store/object_store.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::generation {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;

constexpr std::uint64_t kHuge = UINT64_MAX - 1;

class CheckBootSpace : public ::testing::Test {
  protected:
    store::ObjectId deployed(const std::string& content) {
        const fs::path source = dir / ("source-" + content);
        testing::write_file(source, content);
        const store::AssetRef ref =
            store::import_asset(archive, source, store::AssetKind::Initramfs);
        EXPECT_TRUE(store::copy_object(boot_store, archive, ref.object));
        return ref.object;
    }

    std::string error_with(const DeploymentPlan& plan,
                           const std::set<store::ObjectId>& references = {}) {
        return testing::error_of(
            [&] { check_boot_space(dir.path(), plan, references, 0, boot_store, hashes); });
    }

    ScratchDir dir;
    fs::path archive = dir / "archive";
    fs::path boot_store = dir / "boot";
    store::HashCache hashes;
};

// Planned sizes that cannot fit anywhere show which objects count as new.
TEST_F(CheckBootSpace, CountsOnlyAbsentOrDamagedObjectsAsNew) {
    const store::ObjectId valid = deployed("valid");
    DeploymentPlan plan;
    plan.objects = {{valid, kHuge}};
    EXPECT_NO_THROW(check_boot_space(dir.path(), plan, {}, 0, boot_store, hashes));

    const store::ObjectId damaged = deployed("damaged");
    testing::write_file(store::object_path(boot_store, damaged), "tampered");
    plan.objects = {{valid, kHuge}, {damaged, kHuge}};
    EXPECT_EQ(error_with(plan), "boot deployment requirement overflow");

    plan.objects = {{valid, 1}, {{"sha256", std::string(64, 'e')}, kHuge}};
    EXPECT_EQ(error_with(plan), "boot deployment requirement overflow");
}

TEST_F(CheckBootSpace, RefusesWhenNothingCouldRemainForTheReserve) {
    const store::ObjectId dropped = deployed("only used by the current entries");
    DeploymentPlan plan;
    plan.reserve_bytes = UINT64_MAX;
    plan.average_set_bytes = UINT64_MAX / 2 + 1;
    const std::string message = error_with(plan, {dropped});
    EXPECT_TRUE(message.starts_with(
        "boot filesystem must retain space for two average kernel/initramfs sets: projected "))
        << message;
}

}  // namespace
}  // namespace snapwright::generation
