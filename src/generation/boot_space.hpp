#pragma once

#include <cstdint>
#include <filesystem>
#include <set>

#include "generation/plan.hpp"
#include "store/hash_cache.hpp"
#include "store/object_id.hpp"

namespace snapwright::generation {

// The byte counts the boot space check weighs, measured before anything is changed.
struct BootSpaceFigures {
    std::uint64_t free_bytes = 0;         // available to unprivileged users on the boot filesystem
    std::uint64_t new_bytes = 0;          // planned objects absent or damaged on the boot store
    std::uint64_t reclaimable_bytes = 0;  // objects only the current entries use
    std::uint64_t entry_bytes = 0;        // text of the entries about to be written
    std::uint64_t reserve_bytes = 0;      // room to keep for two average kernel sets
    std::uint64_t average_set_bytes = 0;
};

// Throws unless the transaction fits (new objects plus three times the entry bytes plus one MiB
// for temporary copies) and the boot filesystem keeps `reserve_bytes` free afterwards. Both
// messages say that the existing entries were not changed, which holds because the check runs
// before the first change. Pure.
void check_boot_space_figures(const BootSpaceFigures& figures);

// Measures the figures and checks them: new bytes are the planned objects the boot store lacks
// or holds damaged (every present one is hashed), reclaimable bytes the sizes of current
// references that the plan drops, free bytes those of the filesystem holding `boot_root`.
// Reads only; store and statvfs failures are thrown as they come, as are the overflow messages.
// The present objects it hashes are recorded in the run's `hashes`, so that the deployment that
// follows does not hash them again.
void check_boot_space(const std::filesystem::path& boot_root, const DeploymentPlan& plan,
                      const std::set<store::ObjectId>& current_references,
                      std::uint64_t entry_bytes, const std::filesystem::path& boot_store_root,
                      store::HashCache& hashes);

}  // namespace snapwright::generation
