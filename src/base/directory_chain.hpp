#pragma once

#include <filesystem>
#include <string>

namespace snapwright::base {

// How ensure_directory makes a missing directory of the chain. `Synced`: mkdir, then an fsync
// of the parent. `Renamed`: made under a temporary name (the form create_temporary_file gives
// files: "." + name + ".tmp-" + process ID + "-" + attempt), synced with its parent, then
// renamed into place and the parent synced again. On FAT a directory whose creation a power cut
// tore can point at a cluster never cleared, which reads as garbage or fails every read even
// after fsck.vfat -a; renamed into place, the name only ever stands for a whole empty directory.
// What an interrupted creation leaves is a temporary (remove_directory_temporaries).
enum class NewDirectory { Synced, Renamed };

// Makes sure root/relative exists as a chain of real directories, creating what is missing as
// `how` says; refuses symbolic links on the way (a link swapped in while walking is refused
// too). The root itself is created with its ancestors when missing and must be a real directory
// ("data root is not a real directory: {}"). Throws "unsafe relative directory path: {}" for an
// absolute relative path or one with "." or "..", "refusing to traverse non-directory path {}"
// for anything but a directory on the way. Returns root joined with relative.
std::filesystem::path ensure_directory(const std::filesystem::path& root,
                                       const std::filesystem::path& relative,
                                       NewDirectory how = NewDirectory::Synced);

// mkdir -p with mode 0777, following links: existing directories (and links to them) are fine.
// For places whose ancestors the system may link (a boot partition's mount point, say).
void make_directory_chain(const std::filesystem::path& path);

// Removes the empty directory `name` in the directory open at `parent` and fsyncs the parent;
// false when it is not empty (the kernel decides atomically), so a directory in use stays.
bool remove_if_empty_at(int parent, const std::string& name);
// The same for a path; throws "path has no parent: {}" when the path names no parent.
bool remove_if_empty(const std::filesystem::path& directory);

// The parent of `path` as written, ignoring trailing slashes; empty when there is none.
std::filesystem::path parent_of(const std::filesystem::path& path);
// The final name of `path`, ignoring trailing slashes.
std::filesystem::path final_name_of(const std::filesystem::path& path);

}  // namespace snapwright::base
