#include "base/checked.hpp"
#include "bootloader/budget.hpp"
#include "store/object_store.hpp"
#include "system/subvolume.hpp"

namespace snapwright::bootloader {

void check_boot_budget(const std::filesystem::path& boot_root, const DeploymentPlan& plan,
                       const std::set<store::ObjectId>& current_references,
                       std::uint64_t entry_bytes, const std::filesystem::path& boot_store_root) {
    BudgetFigures figures;
    figures.entry_bytes = entry_bytes;
    figures.reserve_bytes = plan.reserve_bytes;
    figures.average_set_bytes = plan.average_set_bytes;
    for (const auto& [id, size] : plan.objects) {
        if (!store::verify_object(boot_store_root, id)) {
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
    check_budget_figures(figures);
}

}  // namespace snapwright::bootloader
