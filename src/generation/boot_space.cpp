#include "generation/boot_space.hpp"

#include <string>

#include "base/app_error.hpp"
#include "base/checked.hpp"
#include "store/object_store.hpp"
#include "system/free_space.hpp"
#include "system/subvolume.hpp"

namespace snapwright::generation {
namespace {

constexpr std::uint64_t kTransactionSlack = 1048576;
constexpr const char* kOverheadOverflow = "boot transaction overhead overflow";

std::uint64_t transaction_overhead(std::uint64_t entry_bytes) {
    // Each entry may exist as old file, temporary and new file at once.
    return base::checked_add(base::checked_mul(entry_bytes, 3, kOverheadOverflow),
                             kTransactionSlack, kOverheadOverflow);
}

}  // namespace

void check_boot_space_figures(const BootSpaceFigures& figures) {
    const std::uint64_t required =
        base::checked_add(transaction_overhead(figures.entry_bytes), figures.new_bytes,
                          "boot deployment requirement overflow");
    if (figures.free_bytes < required) {
        base::throw_error("boot filesystem has insufficient temporary space: need " +
                          std::to_string(required) + " bytes, have " +
                          std::to_string(figures.free_bytes) +
                          "; existing systemd-boot snapshot entries were not changed");
    }
    const std::uint64_t projected =
        base::checked_add(figures.free_bytes - figures.new_bytes, figures.reclaimable_bytes,
                          "boot projected free-space calculation overflow");
    if (projected < figures.reserve_bytes) {
        base::throw_error(
            "boot filesystem must retain space for two average kernel/initramfs sets: projected " +
            std::to_string(projected) + " bytes, required " +
            std::to_string(figures.reserve_bytes) + " bytes (average set " +
            std::to_string(figures.average_set_bytes) +
            " bytes); reduce SNAPSHOT_KERNEL_LIMIT or SNAPSHOT_ASSET_LIMIT_BYTES");
    }
}

void check_boot_space(const std::filesystem::path& boot_root, const DeploymentPlan& plan,
                      const std::set<store::ObjectId>& current_references,
                      std::uint64_t entry_bytes, const std::filesystem::path& boot_store_root,
                      store::HashCache& hashes) {
    BootSpaceFigures figures;
    figures.entry_bytes = entry_bytes;
    figures.reserve_bytes = plan.reserve_bytes;
    figures.average_set_bytes = plan.average_set_bytes;
    for (const auto& [id, size] : plan.objects) {
        if (!store::verify_object(boot_store_root, id, &hashes)) {
            figures.new_bytes =
                base::checked_add(figures.new_bytes, size, "boot deployment byte count overflow");
        }
    }
    for (const store::ObjectId& id : current_references) {
        if (plan.objects.contains(id)) {
            continue;
        }
        if (const auto size = store::object_size(boot_store_root, id)) {
            figures.reclaimable_bytes = base::checked_add(figures.reclaimable_bytes, *size,
                                                          "boot reclaimable byte count overflow");
        }
    }
    figures.free_bytes = system::free_space(boot_root);
    check_boot_space_figures(figures);
}

}  // namespace snapwright::generation
