#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "generation/run_context.hpp"

namespace snapwright::report {

// What `status` reports, and what `generate` takes its manifest count from.
struct StatusReport {
    std::string entry_directory;
    std::string boot_data_root;
    std::string archive_root;
    std::uint64_t archived_manifests = 0;
    // Distinct objects that the manifests refer to, present or not.
    std::uint64_t archive_references = 0;
    // Object files in the archive store, referred to or not.
    std::uint64_t archive_objects = 0;
    std::uint64_t archive_bytes = 0;
    // Distinct objects that this machine's generated entries refer to, present or not.
    std::uint64_t deployed_objects = 0;
    // Total size of those of them present in the boot store.
    std::uint64_t deployed_bytes = 0;
    std::uint64_t average_set_bytes = 0;
    std::uint64_t required_reserve_bytes = 0;
    std::uint64_t boot_free_bytes = 0;

    // Not among the report lines; for the warnings on standard error. The manifests of this
    // machine recorded under another operating-system name, counted by name.
    std::map<std::string, std::uint64_t> other_os_manifests;
    // This system's snapshots with generated entries on disk that are read-only subvolumes;
    // counted by `status` only.
    std::uint64_t read_only_deployed = 0;

    bool operator==(const StatusReport&) const = default;
};

// Reads the archive, the generated entries of this machine and both stores, and plans the
// deployment of every archived manifest to obtain the budget figures. Changes nothing. The
// manifests are read one at a time and only the newest SNAPSHOT_LIMIT of them are kept for the
// plan, so memory follows the deployment, not the archive. The first failure is thrown: an
// unreadable archive or store, a generated entry without a linux image or with an asset outside
// the boot store, a planning error, "deployed object byte count overflow". Objects missing from
// the boot store are counted but add no bytes.
[[nodiscard]] StatusReport compute_status(const generation::RunContext& context);

}  // namespace snapwright::report
