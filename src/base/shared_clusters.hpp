#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace snapwright::base {

// Whether an interrupted replacing rename may have left two names on one chain of clusters. On
// FAT such a rename is not atomic: a power cut inside it can leave the temporary and the file it
// was replacing both pointing at the same first cluster, and unlinking the temporary then frees
// the clusters under the live file.
enum class ClusterSharing { Separate, Shared, Unknown };

// The verdict from the first physical blocks of the two files (none: it could not be read; 0:
// the file holds no block): a file without a block shares nothing; equal blocks are shared; an
// unreadable one leaves it unknown.
ClusterSharing compare_first_blocks(std::optional<std::uint64_t> temporary,
                                    std::optional<std::uint64_t> target);

// Whether the filesystem of the open `fd` has no journal (only FAT is taken to have none), so
// that a power cut inside a rename there can leave both names on one cluster chain.
bool lacks_journal(int fd);

// The verdict for `temporary` and `target` in the directory open at `directory`, both opened
// without following links. Separate on a filesystem with a journal (only FAT is taken to have
// none), and when `target` is not a regular file; otherwise their first blocks are compared
// (FIBMAP, which needs root).
ClusterSharing first_cluster_sharing(int directory, const std::string& temporary,
                                     const std::string& target);

}  // namespace snapwright::base
