#pragma once

#include "generation/run_context.hpp"

namespace snapwright::generation {

// Refuses to work with an archive or a boot store that others can change: ARCHIVE_PATH and
// every directory of this machine's archive, the boot data directory and every directory of
// this machine's boot store must not be writable by group or others (the message of
// base::check_private_directory). Directories that do not exist yet are fine. Run by every
// command that writes the stores before it reads or changes them.
//
// Capture checks every directory below the archive's snapshots/ as its walk opens it, before it
// reads anything there: generate passes SnapshotDirectories::CheckedByCapture, and those
// directories, one for each of thousands of snapshots, are not walked here beforehand.
enum class SnapshotDirectories { CheckedHere, CheckedByCapture };
void check_store_directories(const RunContext& context,
                             SnapshotDirectories snapshots = SnapshotDirectories::CheckedHere);

}  // namespace snapwright::generation
