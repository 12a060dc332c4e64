#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/file_kind.hpp"
#include "base/unique_fd.hpp"
#include "store/object_id.hpp"

namespace snapwright::store {

namespace fs = std::filesystem;

// What the walk does with a symbolic link at R/objects or R/objects/sha256 (and at R itself).
// Counting may follow one; removing must refuse it, since everything below would be someone
// else's files.
enum class TopLinks { Follow, Refuse };

// The open directories R/objects and R/objects/sha256 of a store.
struct ObjectTree {
    base::UniqueFd objects;
    base::UniqueFd algorithm;
};

// Opens the tree of the store at `root`; none when there is no tree to walk (nothing there, or
// not a directory). With Refuse, a link at R throws "data root is not a real directory: {}" and
// one at R/objects or R/objects/sha256 "refusing to traverse non-directory path {}". Other
// failures are I/O errors.
std::optional<ObjectTree> open_object_tree(const fs::path& root, TopLinks links);

// Calls `visit` with every entry of every fan-out directory (a real directory in
// R/objects/sha256 whose name is no temporary's, opened without following links): the fan-out's
// descriptor, the entry's name and what is there (not followed; entries that vanished meanwhile are
// skipped). After each fan-out, `after_fan_out` gets its name. Listing failures are I/O errors.
void for_each_object(const ObjectTree& tree,
                     const std::function<void(int fan_out, const std::string& name,
                                              const base::FileInfo& info)>& visit,
                     const std::function<void(const std::string& fan_out)>& after_fan_out = {});

struct StoreStatistics {
    std::uint64_t objects = 0;
    std::uint64_t bytes = 0;
};
// The regular files in the fan-out directories and their total size (saturating).
StoreStatistics store_statistics(const fs::path& root);

struct GarbageCollection {
    std::uint64_t removed_objects = 0;
    std::uint64_t removed_bytes = 0;
};
// Removes every file or link in a fan-out directory that is not a referenced digest, then the
// emptied fan-out directories and an emptied R/objects/sha256. Every reference is validated
// first, so an invalid one removes nothing.
GarbageCollection collect_garbage(const fs::path& root, const std::set<ObjectId>& referenced);

// Removes the regular files in the fan-out directories that are temporaries of an object (named
// as the atomic copy names them: "." + digest + ".tmp-" + process ID + "-" + attempt): what an
// interrupted copy left, which would otherwise hold its space until the next collection. Where
// R, R/objects or R/objects/sha256 is not a real directory (a symbolic link is not followed),
// nothing is removed. Returns how many files were removed; failures are I/O errors.
std::uint64_t remove_object_temporaries(const fs::path& root);

// Removes the empty directories that an interrupted creation of a store directory left under a
// temporary name (base::NewDirectory::Renamed): fan-out directories in R/objects/sha256,
// "sha256" in R/objects and "objects" in R. Where R, R/objects or R/objects/sha256 is not a real
// directory, nothing below it is touched. Returns the temporaries that could not be removed
// (base::remove_directory_temporaries).
std::vector<fs::path> remove_directory_leftovers(const fs::path& root);

}  // namespace snapwright::store
