#include "generation/plan.hpp"

#include <gtest/gtest.h>

#include "support/error_of.hpp"
#include "support/manifest_builders.hpp"

namespace snapwright::generation {
namespace {

using manifest::SnapshotManifest;
using store::AssetKind;
using testing::asset;
using testing::object;
using testing::profile;
using testing::snapshot;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kLimit = 512 * kMiB;

std::string plan_error(const std::vector<SnapshotManifest>& manifests, std::uint64_t snapshots,
                       std::uint64_t kernels, std::uint64_t bytes) {
    return testing::error_of([&] { (void)plan_deployment(manifests, snapshots, kernels, bytes); });
}

std::vector<std::string> deployed_ids(const DeploymentPlan& plan) {
    std::vector<std::string> ids;
    for (const SnapshotManifest& manifest : plan.deployments) {
        ids.push_back(manifest.snapshot.key.snapshot_id);
    }
    return ids;
}

const auto kKernelA = asset('a', AssetKind::Kernel, 300 * kMiB);
const auto kInitrdA = asset('b', AssetKind::Initramfs, 100 * kMiB);
const auto kKernelB = asset('c', AssetKind::Kernel, 60 * kMiB);
const auto kInitrdB = asset('d', AssetKind::Initramfs, 40 * kMiB);

TEST(PlanDeployment, AnyZeroLimitOrNoManifestGivesTheEmptyPlan) {
    const std::vector<SnapshotManifest> manifests = {
        snapshot("1", "2024-01-01T00:00:00Z", {profile(kKernelB, {kInitrdB})})};
    EXPECT_EQ(plan_deployment({}, 50, 3, kLimit), DeploymentPlan{});
    EXPECT_EQ(plan_deployment(manifests, 0, 3, kLimit), DeploymentPlan{});
    EXPECT_EQ(plan_deployment(manifests, 50, 0, kLimit), DeploymentPlan{});
    EXPECT_EQ(plan_deployment(manifests, 50, 3, 0), DeploymentPlan{});
}

TEST(PlanDeployment, SnapshotsOnOneKernelShareItsObjects) {
    const std::vector<SnapshotManifest> manifests = {
        snapshot("1", "2024-01-01T00:00:00Z", {profile(kKernelB, {kInitrdB})}),
        snapshot("2", "2024-01-02T00:00:00Z", {profile(kKernelB, {kInitrdB})}),
        snapshot("3", "2024-01-03T00:00:00Z", {profile(kKernelB, {kInitrdB})}),
    };
    const DeploymentPlan plan = plan_deployment(manifests, 50, 1, kLimit);
    EXPECT_EQ(deployed_ids(plan), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(plan.objects.size(), 2u);
    EXPECT_EQ(plan.kernel_set_count, 1u);
    EXPECT_EQ(plan.deployed_bytes, 100 * kMiB);
    EXPECT_EQ(plan.average_set_bytes, 100 * kMiB);
    EXPECT_EQ(plan.reserve_bytes, 200 * kMiB);
}

TEST(PlanDeployment, NewestSetFirstThenOlderSetsThatFit) {
    const std::vector<SnapshotManifest> manifests = {
        snapshot("1", "2024-01-01T00:00:00Z", {profile(kKernelB, {kInitrdB})}),
        snapshot("2", "2024-01-02T00:00:00Z", {profile(kKernelB, {kInitrdB})}),
        snapshot("3", "2024-01-03T00:00:00Z", {profile(kKernelA, {kInitrdA})}),
    };
    const DeploymentPlan plan = plan_deployment(manifests, 50, 3, kLimit);
    EXPECT_EQ(plan.kernel_set_count, 2u);
    EXPECT_EQ(plan.deployed_bytes, 500 * kMiB);
    EXPECT_EQ(deployed_ids(plan).size(), 3u);

    // With room for one set only the newest snapshot's set is chosen, though B has more users.
    const DeploymentPlan one = plan_deployment(manifests, 50, 1, kLimit);
    EXPECT_EQ(deployed_ids(one), (std::vector<std::string>{"3"}));

    // Without room for both, the older set is skipped rather than failing the run.
    const DeploymentPlan tight = plan_deployment(manifests, 50, 3, 450 * kMiB);
    EXPECT_EQ(deployed_ids(tight), (std::vector<std::string>{"3"}));
}

TEST(PlanDeployment, FailsWhenTheNewestSetAloneIsTooLarge) {
    const auto huge_initrd = asset('e', AssetKind::Initramfs, 300 * kMiB);
    const auto microcode = asset('f', AssetKind::Microcode, 1);
    const std::vector<SnapshotManifest> manifests = {
        snapshot("1", "2024-01-01T00:00:00Z", {profile(kKernelB, {kInitrdB})}),
        snapshot("2", "2024-01-02T00:00:00Z", {profile(kKernelA, {microcode, huge_initrd})}),
    };
    EXPECT_EQ(plan_error(manifests, 50, 3, kLimit),
              "newest kernel set requires 629145601 bytes, exceeding "
              "SNAPSHOT_ASSET_LIMIT_BYTES=536870912");
}

TEST(PlanDeployment, LimitsCandidatesToTheNewestSnapshots) {
    const std::vector<SnapshotManifest> manifests = {
        snapshot("b", "2024-01-02T00:00:00Z", {profile(kKernelB)}),
        snapshot("a", "2024-01-02T00:00:00Z", {profile(kKernelB)}),  // tie: key decides
        snapshot("c", "2024-01-01T00:00:00Z", {profile(kKernelB)}),
        snapshot("d", "2024-01-03T00:00:00Z", {profile(kKernelB)}),
    };
    EXPECT_EQ(deployed_ids(plan_deployment(manifests, 2, 3, kLimit)),
              (std::vector<std::string>{"b", "d"}));
    EXPECT_EQ(deployed_ids(plan_deployment(manifests, 3, 3, kLimit)),
              (std::vector<std::string>{"b", "a", "d"}));

    // A pre/post pair of one second: the post snapshot, numbered higher, is the newer one.
    const std::vector<SnapshotManifest> pair = {
        snapshot("9", "2024-01-02 10:00:00", {profile(kKernelB)}),
        snapshot("10", "2024-01-02 10:00:00", {profile(kKernelA)}),
    };
    EXPECT_EQ(deployed_ids(plan_deployment(pair, 1, 3, kLimit)), (std::vector<std::string>{"10"}));
    EXPECT_EQ(deployed_ids(plan_deployment(pair, 2, 1, kLimit)), (std::vector<std::string>{"10"}));
}

TEST(PlanDeployment, SharedMicrocodeCountsOnceAndNotInSetBytes) {
    const auto microcode = asset('f', AssetKind::Microcode, 5);
    const auto tree = asset('9', AssetKind::DeviceTree, 7);
    const std::vector<SnapshotManifest> manifests = {
        snapshot("1", "2024-01-01T00:00:00Z",
                 {profile(asset('1', AssetKind::Kernel, 10), {microcode, tree})}),
        snapshot("2", "2024-01-02T00:00:00Z",
                 {profile(asset('2', AssetKind::Kernel, 11), {microcode})}),
    };
    const DeploymentPlan plan = plan_deployment(manifests, 50, 3, kLimit);
    EXPECT_EQ(plan.kernel_set_count, 2u);
    EXPECT_EQ(plan.objects.size(), 4u);
    EXPECT_EQ(plan.deployed_bytes, 10u + 11u + 5u + 7u);
    // Sets of 10 and 11 bytes: the mean rounds up.
    EXPECT_EQ(plan.average_set_bytes, 11u);
    EXPECT_EQ(plan.reserve_bytes, 22u);
}

TEST(PlanDeployment, SharedObjectsCostNothingAgainUnderTheAssetLimit) {
    const auto initrd = asset('e', AssetKind::Initramfs, 100);
    const std::vector<SnapshotManifest> manifests = {
        snapshot("1", "2024-01-01T00:00:00Z",
                 {profile(asset('1', AssetKind::Kernel, 10), {initrd})}),
        snapshot("2", "2024-01-02T00:00:00Z",
                 {profile(asset('2', AssetKind::Kernel, 10), {initrd})}),
    };
    const DeploymentPlan plan = plan_deployment(manifests, 50, 3, 120);
    EXPECT_EQ(plan.kernel_set_count, 2u);
    EXPECT_EQ(plan.deployed_bytes, 120u);
}

TEST(PlanDeployment, KeepsOnlySelectedProfilesInRecordedOrder) {
    const auto big = profile(asset('1', AssetKind::Kernel, 90), {}, "big");
    const auto small = profile(asset('2', AssetKind::Kernel, 30), {}, "small");
    const auto other = profile(asset('3', AssetKind::Kernel, 20), {}, "other");
    const std::vector<SnapshotManifest> manifests = {
        snapshot("1", "2024-01-01T00:00:00Z", {other}),
        snapshot("2", "2024-01-02T00:00:00Z", {big, small}),
    };
    const DeploymentPlan plan = plan_deployment(manifests, 50, 1, 100);
    ASSERT_EQ(plan.deployments.size(), 1u);
    ASSERT_EQ(plan.deployments[0].profiles.size(), 1u);
    // Both sets of the newest snapshot tie on every rank but the key; key '1' sorts first.
    EXPECT_EQ(plan.deployments[0].profiles[0].name, "big");

    // "small" no longer fits beside "big", but the older "other" does.
    const DeploymentPlan two = plan_deployment(manifests, 50, 3, 110);
    EXPECT_EQ(deployed_ids(two), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(two.deployments[1].profiles.size(), 1u);
    EXPECT_EQ(two.deployments[1].profiles[0].name, "big");
}

TEST(PlanDeployment, RefusesInconsistentSizes) {
    const auto kernel = asset('1', AssetKind::Kernel, 10);
    auto resized = kernel;
    resized.size = 11;
    EXPECT_EQ(plan_error({snapshot("1", "2024", {profile(kernel, {resized})})}, 50, 3, kLimit),
              "inconsistent size for object sha256:" + std::string(64, '1'));
    EXPECT_EQ(plan_error({snapshot("1", "2024", {profile(kernel)}),
                          snapshot("2", "2025", {profile(resized)})},
                         50, 3, kLimit),
              "inconsistent assets for one kernel set");
    // Same object as kernel of one set and initramfs of another, recorded with two sizes.
    auto as_initrd = asset('1', AssetKind::Initramfs, 12);
    EXPECT_EQ(plan_error(
                  {snapshot("1", "2024", {profile(kernel)}),
                   snapshot("2", "2025", {profile(asset('2', AssetKind::Kernel, 1), {as_initrd})})},
                  50, 3, kLimit),
              "inconsistent size for object sha256:" + std::string(64, '1'));
}

TEST(PlanDeployment, ReportsEveryOverflow) {
    const std::uint64_t max = UINT64_MAX;
    const auto huge_kernel = asset('1', AssetKind::Kernel, max);
    const auto one = asset('2', AssetKind::Initramfs, 1);
    EXPECT_EQ(plan_error({snapshot("1", "2024", {profile(huge_kernel, {one})})}, 50, 3, max),
              "kernel/initramfs set size overflow");
    EXPECT_EQ(plan_error({snapshot("1", "2024",
                                   {profile(huge_kernel, {asset('2', AssetKind::Microcode, 1)})})},
                         50, 3, max),
              "snapshot asset byte count overflow");
    // Two sets of max/2 + 1 bytes of kernel each, sharing nothing: the sum overflows in the
    // projection already.
    const std::uint64_t half = max / 2 + 1;
    EXPECT_EQ(plan_error({snapshot("1", "2024", {profile(asset('1', AssetKind::Kernel, half))}),
                          snapshot("2", "2025", {profile(asset('2', AssetKind::Kernel, half))})},
                         50, 3, max),
              "snapshot asset byte count overflow");
    // Sets summing to exactly the maximum: rounding the mean up overflows.
    EXPECT_EQ(plan_error({snapshot("1", "2024", {profile(asset('1', AssetKind::Kernel, max - 5))}),
                          snapshot("2", "2025", {profile(asset('2', AssetKind::Kernel, 5))})},
                         50, 3, max),
              "kernel/initramfs average overflow");
    // One set whose mean doubles past the limit.
    EXPECT_EQ(plan_error({snapshot("1", "2024", {profile(asset('1', AssetKind::Kernel, half))})},
                         50, 3, max),
              "kernel/initramfs reserve overflow");
}

}  // namespace
}  // namespace snapwright::generation
