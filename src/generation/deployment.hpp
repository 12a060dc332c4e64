#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bootloader/render.hpp"
#include "store/hash_cache.hpp"
#include "store/object_id.hpp"

namespace snapwright::generation {

namespace fs = std::filesystem;

// Makes every planned object present in the boot store, copying from the archive store in
// ascending identity order. When a copy fails, the objects this call copied into places that
// were empty before are removed again (last first) and the copy's error is thrown; objects that
// were there before are never removed. A file standing where a fan-out directory of the boot
// store belongs is removed first (store::clear_fan_out). Archive objects that the run's `hashes`
// hold as intact are not checked again before they are copied, nor unchanged boot copies it
// has hashed. Returns how many objects it copied (repaired copies included).
std::uint64_t deploy_objects(const std::map<store::ObjectId, std::uint64_t>& objects,
                             const fs::path& archive_store_root, const fs::path& boot_store_root,
                             store::HashCache& hashes);

// Inspects, without changing anything, every file apply_entries would write or remove, and
// throws the first refusal apply_entries would meet, with its message. Run before the first
// change to the boot filesystem, so a refused run leaves it as it was.
void check_entry_changes(const fs::path& entry_directory, std::string_view machine_id,
                         const std::map<std::string, std::string>& inventory,
                         const std::vector<bootloader::GeneratedEntry>& desired);

// Makes the entry directory hold exactly the `desired` generated entries: writes every desired
// entry whose file does not hold exactly its text (mode 0644, atomically) and removes the
// inventory's other files; when it changed anything, the entry directory is synced before it
// returns. Returns false, writing nothing, when the inventory already equals `desired` (true
// otherwise, even if every file turned out to hold its text). Right before each write or removal
// the file on disk is examined again: only a regular file carrying the marker line and no other
// machine's machine-id (or an empty regular file, at a desired name) is ever replaced or removed;
// anything else fails with a "refusing to ..." message. An entry file that is replaced or removed
// is held open until the directory that no longer names it has been synced, so that on FAT its
// clusters are freed only after that. A failure midway leaves the changes made so far; a later run
// converges.
[[nodiscard]] bool apply_entries(const fs::path& entry_directory, std::string_view machine_id,
                                 const std::map<std::string, std::string>& inventory,
                                 const std::vector<bootloader::GeneratedEntry>& desired);

}  // namespace snapwright::generation
