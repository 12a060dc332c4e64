#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "store/file_hash.hpp"
#include "store/hash_cache.hpp"
#include "store/object_id.hpp"
#include "store/object_layout.hpp"

namespace snapwright::store {

namespace fs = std::filesystem;

// Import, copy, verification and removal of the objects of a store laid out as
// store/object_layout.hpp says; every operation validates the identity first.

// Stores a copy of `source` under its digest (once) and returns its reference. With the run's
// `cache`, a source already hashed in this run and an object already found intact in it are not
// read again.
AssetRef import_asset(const fs::path& root, const fs::path& source, AssetKind kind,
                      HashCache* cache = nullptr);
// Stores the `length` bytes at `offset` of the open regular file `source` (a section of a
// unified kernel image) as one object, hashed and copied straight from the file, never held in
// memory whole. `original_name` is what the reference records as the asset's name.
AssetRef import_asset_range(const fs::path& root, int source, std::uint64_t offset,
                            std::uint64_t length, AssetKind kind, std::string original_name);
// Whether the object is present as a regular file hashing to its digest (a fan-out that is not
// a directory holds no object). With the run's `cache`,
// an object file hashed earlier in the run and unchanged since (same device, inode, size,
// modification and change time) is not read again.
bool verify_object(const fs::path& root, const ObjectId& id, HashCache* cache = nullptr);
// Copies an object from `source_root` unless `destination_root` already holds a valid copy.
// Returns whether bytes were copied. A directory it has to make on the way is renamed into
// place (base::NewDirectory::Renamed). With the run's `cache`, a source object already found intact
// in this run is not checked again, nor an unchanged destination copy already hashed in it; a
// fresh copy is always checked.
bool copy_object(const fs::path& destination_root, const fs::path& source_root, const ObjectId& id,
                 HashCache* cache = nullptr);
// The size of the object file, or none when it is absent or not a regular file.
std::optional<std::uint64_t> object_size(const fs::path& root, const ObjectId& id);
// Removes the object; false when it was absent.
bool remove_object(const fs::path& root, const ObjectId& id);
// Makes way for the fan-out directory of `id`: a regular file (or a FIFO, socket or device)
// standing where that directory belongs is removed, through descriptors opened without following
// links, so that the next copy can create the directory. A symbolic link there is left alone for
// the copy to refuse. Returns whether something was removed; failures are I/O errors.
bool clear_fan_out(const fs::path& root, const ObjectId& id);

}  // namespace snapwright::store
