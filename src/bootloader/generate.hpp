#pragma once

#include "bootloader/run_context.hpp"
#include "provider/snapshot.hpp"

namespace snapwright::bootloader {

// The body of `generate`: brings the archive up to date with the snapshots the provider lists,
// plans what is deployed within the configured limits, and makes the boot filesystem match:
// objects under the boot data root, generated entries in the entry directory, unreferenced
// objects collected in both stores. Every check that can refuse the run (entry parsing,
// capture, planning, rendering, the space budget) happens before the first change to the boot
// filesystem; new objects are in place before an entry names them, and objects are collected
// only after the entries that named them are gone. The caller holds the boot partition lock.
[[nodiscard]] GenerateReport run_generate(const RunContext& context, provider::Provider& provider);

}  // namespace snapwright::bootloader
