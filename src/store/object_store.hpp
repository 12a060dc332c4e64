#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "store/file_hash.hpp"
#include "store/object_id.hpp"

namespace snapwright::store {

namespace fs = std::filesystem;

// Content-addressed objects under a data root R: R/objects/sha256/XX/DIGEST. The same code
// serves the archive store and the boot store.

// Throws "unsupported object hash algorithm: {}" or "invalid SHA-256 object digest".
void validate_object_id(const ObjectId& id);
// R/objects/<algorithm>/<first two digits>/<digest>, without validation.
fs::path object_path(const fs::path& root, const ObjectId& id);
// "/" + boot_data_relative + "/objects/sha256/XX/DIGEST": the path generated entries name.
std::string boot_object_path(const fs::path& boot_data_root, const fs::path& boot_data_relative,
                             const ObjectId& id);

// Stores a copy of `source` under its digest (once) and returns its reference.
AssetRef import_asset(const fs::path& root, const fs::path& source, AssetKind kind);
// Whether the object is present as a regular file hashing to its digest.
bool verify_object(const fs::path& root, const ObjectId& id);
// Copies an object from `source_root` unless `destination_root` already holds a valid copy.
// Returns whether bytes were copied.
bool copy_object(const fs::path& destination_root, const fs::path& source_root, const ObjectId& id);
// The size of the object file, or none when it is absent or not a regular file.
std::optional<std::uint64_t> object_size(const fs::path& root, const ObjectId& id);
// Removes the object; false when it was absent.
bool remove_object(const fs::path& root, const ObjectId& id);

struct StoreStatistics {
    std::uint64_t objects = 0;
    std::uint64_t bytes = 0;
};
StoreStatistics store_statistics(const fs::path& root);

struct GarbageCollection {
    std::uint64_t removed_objects = 0;
    std::uint64_t removed_bytes = 0;
};
// Removes every file under R/objects/sha256/XX/ that is not a referenced digest.
GarbageCollection collect_garbage(const fs::path& root, const std::set<ObjectId>& referenced);

}  // namespace snapwright::store
