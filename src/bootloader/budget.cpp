#include "bootloader/budget.hpp"

#include <limits>
#include <string>

#include "base/app_error.hpp"
#include "base/checked.hpp"

namespace snapwright::bootloader {
namespace {

constexpr std::uint64_t kTransactionSlack = 1048576;
constexpr const char* kOverheadOverflow = "boot transaction overhead overflow";

std::uint64_t transaction_overhead(std::uint64_t entry_bytes) {
    // Each entry may exist as old file, temporary and new file at once.
    const std::uint64_t copies = base::checked_mul(entry_bytes, 3, kOverheadOverflow);
    if (copies > std::numeric_limits<std::uint64_t>::max() - kTransactionSlack) {
        base::throw_error(kOverheadOverflow);
    }
    return copies + kTransactionSlack;
}

}  // namespace

void check_budget_figures(const BudgetFigures& figures) {
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

}  // namespace snapwright::bootloader
