#include "generation/plan.hpp"

#include <algorithm>
#include <compare>
#include <set>
#include <string>
#include <utility>

#include "base/app_error.hpp"
#include "base/checked.hpp"
#include "base/text.hpp"
#include "provider/snapshot.hpp"

namespace snapwright::generation {
namespace {

using manifest::BootProfile;
using manifest::SnapshotManifest;
using provider::SnapshotKey;
using store::AssetKind;
using store::ObjectId;
using ObjectSizes = std::map<ObjectId, std::uint64_t>;

constexpr const char* kAssetByteOverflow = "snapshot asset byte count overflow";

// Profiles with the same protocol, kernel object and module objects boot the same way and
// share their boot files.
struct KernelSetKey {
    std::string protocol;
    ObjectId kernel;
    std::vector<ObjectId> modules;

    auto operator<=>(const KernelSetKey&) const = default;
    bool operator==(const KernelSetKey&) const = default;
};

// When a snapshot was created, and which one it is, for ordering by age: snapshots of the same
// second by their IDs, numbered ones as numbers.
struct SnapshotUse {
    std::string created_utc;
    SnapshotKey key;

    std::strong_ordering operator<=>(const SnapshotUse& other) const {
        if (const auto order = created_utc <=> other.created_utc; order != 0) {
            return order;
        }
        return provider::compare_snapshot_keys(key, other.key);
    }
    bool operator==(const SnapshotUse&) const = default;
};

struct KernelSet {
    KernelSetKey key;
    ObjectSizes objects;
    std::uint64_t set_bytes = 0;
    std::set<SnapshotKey> users;
    SnapshotUse newest_use;
    bool used_by_newest = false;
};

[[noreturn]] void throw_inconsistent_size(const ObjectId& id) {
    base::throw_error("inconsistent size for object " + id.algorithm + ":" + id.digest);
}

void insert_sized(ObjectSizes& objects, const ObjectId& id, std::uint64_t size) {
    const auto [it, inserted] = objects.emplace(id, size);
    if (!inserted && it->second != size) {
        throw_inconsistent_size(id);
    }
}

KernelSetKey key_of(const BootProfile& profile) {
    KernelSetKey key{base::to_lower_ascii(profile.protocol), profile.kernel.object, {}};
    for (const store::AssetRef& module : profile.modules) {
        key.modules.push_back(module.object);
    }
    return key;
}

ObjectSizes objects_of(const BootProfile& profile) {
    ObjectSizes objects;
    insert_sized(objects, profile.kernel.object, profile.kernel.size);
    for (const store::AssetRef& module : profile.modules) {
        insert_sized(objects, module.object, module.size);
    }
    return objects;
}

// The kernel and initramfs bytes, each distinct object once; microcode and device trees are
// small and left out of the average that the reserve is based on.
std::uint64_t set_bytes_of(const BootProfile& profile) {
    ObjectSizes counted;
    counted.emplace(profile.kernel.object, profile.kernel.size);
    for (const store::AssetRef& module : profile.modules) {
        if (module.kind == AssetKind::Initramfs) {
            counted.emplace(module.object, module.size);
        }
    }
    std::uint64_t total = 0;
    for (const auto& [id, size] : counted) {
        total = base::checked_add(total, size, "kernel/initramfs set size overflow");
    }
    return total;
}

std::uint64_t total_bytes(const ObjectSizes& objects) {
    std::uint64_t total = 0;
    for (const auto& [id, size] : objects) {
        total = base::checked_add(total, size, kAssetByteOverflow);
    }
    return total;
}

bool newest_first(const SnapshotManifest* a, const SnapshotManifest* b) {
    const SnapshotUse use_a{a->snapshot.created_utc, a->snapshot.key};
    const SnapshotUse use_b{b->snapshot.created_utc, b->snapshot.key};
    return use_a > use_b;
}

bool deploy_first(const KernelSet& a, const KernelSet& b) {
    if (a.used_by_newest != b.used_by_newest)
        return a.used_by_newest;
    if (a.users.size() != b.users.size())
        return a.users.size() > b.users.size();
    if (a.newest_use.created_utc != b.newest_use.created_utc) {
        return a.newest_use.created_utc > b.newest_use.created_utc;
    }
    if (a.newest_use.key != b.newest_use.key)
        return provider::compare_snapshot_keys(a.newest_use.key, b.newest_use.key) > 0;
    return a.key < b.key;
}

std::vector<KernelSet> group_kernel_sets(const std::vector<const SnapshotManifest*>& candidates) {
    std::map<KernelSetKey, KernelSet> sets;
    for (const SnapshotManifest* candidate : candidates) {
        const SnapshotUse use{candidate->snapshot.created_utc, candidate->snapshot.key};
        const bool is_newest = candidate == candidates.front();
        for (const BootProfile& profile : candidate->profiles) {
            ObjectSizes objects = objects_of(profile);
            const std::uint64_t set_bytes = set_bytes_of(profile);
            KernelSetKey key = key_of(profile);
            auto it = sets.find(key);
            if (it == sets.end()) {
                KernelSet set{key, std::move(objects), set_bytes, {}, use, false};
                it = sets.emplace(std::move(key), std::move(set)).first;
            } else if (it->second.objects != objects || it->second.set_bytes != set_bytes) {
                base::throw_error("inconsistent assets for one kernel set");
            }
            KernelSet& set = it->second;
            set.users.insert(candidate->snapshot.key);
            set.newest_use = std::max(set.newest_use, use);
            set.used_by_newest = set.used_by_newest || is_newest;
        }
    }
    std::vector<KernelSet> ordered;
    for (auto& [key, set] : sets) {
        ordered.push_back(std::move(set));
    }
    std::sort(ordered.begin(), ordered.end(), deploy_first);
    return ordered;
}

}  // namespace

DeploymentPlan plan_deployment(std::vector<SnapshotManifest> manifests,
                               std::uint64_t snapshot_limit, std::uint64_t kernel_limit,
                               std::uint64_t asset_limit_bytes) {
    DeploymentPlan plan;
    if (manifests.empty() || snapshot_limit == 0 || kernel_limit == 0 || asset_limit_bytes == 0) {
        return plan;
    }

    std::vector<const SnapshotManifest*> candidates;
    for (const SnapshotManifest& manifest : manifests) {
        candidates.push_back(&manifest);
    }
    std::stable_sort(candidates.begin(), candidates.end(), newest_first);
    if (candidates.size() > snapshot_limit) {
        candidates.resize(static_cast<std::size_t>(snapshot_limit));
    }

    std::set<KernelSetKey> selected;
    std::uint64_t selected_bytes = 0;
    std::uint64_t set_bytes_sum = 0;
    for (const KernelSet& set : group_kernel_sets(candidates)) {
        if (selected.size() >= kernel_limit) {
            break;
        }
        std::uint64_t projected = selected_bytes;
        for (const auto& [id, size] : set.objects) {
            if (!plan.objects.contains(id)) {
                projected = base::checked_add(projected, size, kAssetByteOverflow);
            }
        }
        if (projected > asset_limit_bytes) {
            if (set.used_by_newest && selected.empty()) {
                base::throw_error("newest kernel set requires " +
                                  std::to_string(total_bytes(set.objects)) +
                                  " bytes, exceeding SNAPSHOT_ASSET_LIMIT_BYTES=" +
                                  std::to_string(asset_limit_bytes));
            }
            continue;
        }
        for (const auto& [id, size] : set.objects) {
            insert_sized(plan.objects, id, size);
        }
        selected_bytes = projected;
        set_bytes_sum =
            base::checked_add(set_bytes_sum, set.set_bytes, "kernel/initramfs average overflow");
        selected.insert(set.key);
    }

    const std::set<const SnapshotManifest*> candidate_set(candidates.begin(), candidates.end());
    for (SnapshotManifest& manifest : manifests) {
        if (!candidate_set.contains(&manifest)) {
            continue;
        }
        SnapshotManifest deployed = std::move(manifest);
        std::erase_if(deployed.profiles, [&](const BootProfile& profile) {
            return !selected.contains(key_of(profile));
        });
        if (!deployed.profiles.empty()) {
            plan.deployments.push_back(std::move(deployed));
        }
    }

    const std::uint64_t count = selected.size();
    plan.kernel_set_count = count;
    plan.deployed_bytes = total_bytes(plan.objects);
    if (count > 0) {
        plan.average_set_bytes =
            base::checked_add(set_bytes_sum, count - 1, "kernel/initramfs average overflow") /
            count;
        plan.reserve_bytes =
            base::checked_mul(plan.average_set_bytes, 2, "kernel/initramfs reserve overflow");
    }
    return plan;
}

}  // namespace snapwright::generation
