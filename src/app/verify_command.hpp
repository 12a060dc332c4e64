#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "generation/run_context.hpp"

namespace snapwright::app {

// What `verify` found.
struct VerifyReport {
    // One text per finding, in the order found.
    std::vector<std::string> issues;
    // Object verifications made: each archive object once, each deployed object once more.
    std::uint64_t checked_objects = 0;
};

// Checks, changing nothing, that every archived manifest has its source.conf and fragment.conf
// with the texts it implies, that every object the manifests or this machine's generated entries
// name is present in its store and hashes to its name, and that the generated entries are
// exactly those a generate run would write now; run as root, also that every generated entry's
// rootflags subvol= names a subvolume of the root filesystem. Such findings are collected and
// never stop the check. What makes checking impossible is thrown at once: an unreadable archive,
// entry directory or side file, an I/O error while hashing, a generated entry without a linux
// image or with an asset outside the boot store, a planning or rendering error, and (as root) a
// subvolume list that cannot be read.
[[nodiscard]] VerifyReport verify_archive_and_boot(const generation::RunContext& context);

// The body of `verify`: holds the boot partition lock shared while it checks (waiting for a
// writer as long as a writer waits; checking without it where there is no lock file or this
// user may not open it), prints "Checked objects: N", then either "No integrity issues found",
// or every issue as an "ERROR: " line on standard error followed by the failure
// "verification found N issue(s)".
void run_verify_command(const Command& command, const generation::RunContext& context);

}  // namespace snapwright::app
