#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "store/file_hash.hpp"

namespace snapwright::store {

// What one run has already read: the digests of the files it hashed and the objects it found
// intact. Every new snapshot of a run imports the same boot assets, so without it each of them
// would be hashed again, and each archived copy checked again. Owned by the run and dropped with
// it: nothing is trusted across runs.
class HashCache {
  public:
    // Hashes the open regular file `fd`, whose fstat is `status`, from its current position,
    // unless a file with the same device, inode, size, modification and change time was hashed
    // in this run. A file rewritten in place changes its change time, so it is hashed again.
    DescriptorHash hash(int fd, const struct stat& status);

    // Whether the object file at `path` was found intact, or written and checked, in this run.
    bool verified(const std::filesystem::path& path) const;
    void mark_verified(const std::filesystem::path& path);

    // How many files `hash` actually read.
    std::uint64_t files_hashed() const { return files_hashed_; }

  private:
    using FileKey = std::tuple<dev_t, ino_t, off_t, time_t, long, time_t, long>;

    std::map<FileKey, DescriptorHash> digests_;
    std::set<std::filesystem::path> verified_;
    std::uint64_t files_hashed_ = 0;
};

}  // namespace snapwright::store
