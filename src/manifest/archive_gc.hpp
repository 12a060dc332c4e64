#pragma once

#include <filesystem>
#include <set>
#include <vector>

#include "manifest/schema.hpp"
#include "store/object_id.hpp"
#include "store/object_store.hpp"
#include "store/object_walk.hpp"

namespace snapwright::manifest {

// Every object the manifests name, as a profile's kernel or in its modules; duplicates
// collapse.
[[nodiscard]] std::set<store::ObjectId> referenced_objects(
    const std::vector<SnapshotManifest>& manifests);

// Adds the objects one manifest names to `referenced`, for readers of one manifest at a time.
void add_referenced_objects(std::set<store::ObjectId>& referenced,
                            const SnapshotManifest& manifest);

// Every object the manifests stored under `root` name (manifest store layout), read one manifest
// at a time; throws what reading a manifest throws.
[[nodiscard]] std::set<store::ObjectId> stored_references(const std::filesystem::path& root);

// Removes every object of the archive store that no archived manifest names. A manifest that
// cannot be listed, or an invalid id in one, fails the collection before anything is deleted.
store::GarbageCollection collect_archive_garbage(const std::filesystem::path& archive_root);

// The same collection for a caller that has just read every archived manifest: `references` are
// the objects they name (referenced_objects), so that the archive is not listed twice.
store::GarbageCollection collect_archive_garbage(const std::filesystem::path& archive_root,
                                                 const std::set<store::ObjectId>& references);

}  // namespace snapwright::manifest
