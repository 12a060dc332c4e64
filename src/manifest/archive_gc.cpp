#include "manifest/archive_gc.hpp"

#include "manifest/manifest_store.hpp"

namespace snapwright::manifest {

void add_referenced_objects(std::set<store::ObjectId>& referenced,
                            const SnapshotManifest& manifest) {
    for (const auto& profile : manifest.profiles) {
        referenced.insert(profile.kernel.object);
        for (const auto& module : profile.modules) {
            referenced.insert(module.object);
        }
    }
}

std::set<store::ObjectId> referenced_objects(const std::vector<SnapshotManifest>& manifests) {
    std::set<store::ObjectId> referenced;
    for (const auto& manifest : manifests) {
        add_referenced_objects(referenced, manifest);
    }
    return referenced;
}

std::set<store::ObjectId> stored_references(const std::filesystem::path& root) {
    std::set<store::ObjectId> referenced;
    for_each_manifest(
        root, [&](SnapshotManifest&& manifest) { add_referenced_objects(referenced, manifest); });
    return referenced;
}

store::GarbageCollection collect_archive_garbage(const std::filesystem::path& archive_root) {
    return collect_archive_garbage(archive_root, stored_references(archive_root));
}

store::GarbageCollection collect_archive_garbage(const std::filesystem::path& archive_root,
                                                 const std::set<store::ObjectId>& references) {
    return store::collect_garbage(archive_root, references);
}

}  // namespace snapwright::manifest
