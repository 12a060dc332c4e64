#include "generation/deployment.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "base/app_error.hpp"
#include "base/atomic_file.hpp"
#include "base/file_io.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"
#include "base/text_file.hpp"
#include "base/unique_fd.hpp"
#include "bootloader/entry_directory.hpp"
#include "bootloader/entry_location.hpp"
#include "bootloader/entry_parser.hpp"
#include "store/object_store.hpp"

namespace snapwright::generation {
namespace {

constexpr unsigned kEntryMode = 0644;

enum class OnDisk { Absent, NotAFile, Ours, Foreign };

struct Inspected {
    OnDisk state = OnDisk::Absent;
    // The bytes of a regular file.
    std::string text;
};

// What stands at `path` now, judged without following links. Ours means a regular file with the
// marker line whose machine-id, if any, is this machine's, or an empty regular file.
Inspected inspect_entry(const fs::path& path, std::string_view machine_id) {
    const base::FileInfo info = base::inspect(path);
    if (info.absent()) {
        return {OnDisk::Absent, {}};
    }
    if (!info.regular()) {
        return {OnDisk::NotAFile, {}};
    }
    // Whatever was swapped in since the lstat is judged by the descriptor actually read.
    std::optional<std::string> text = base::read_regular_file_no_follow(path);
    if (!text) {
        return {OnDisk::NotAFile, {}};
    }
    // An empty file holds nothing anyone could lose. It is what fsck.vfat leaves of one of our
    // entries whose rename a power cut tore (the temporary and the entry sharing their clusters:
    // fsck.vfat cuts the second it meets to 0 bytes), and refusing it would stop every later run.
    const OnDisk state = text->empty() || (bootloader::has_ownership_marker(*text) &&
                                           bootloader::belongs_to_machine(*text, machine_id))
                             ? OnDisk::Ours
                             : OnDisk::Foreign;
    return {state, std::move(*text)};
}

bool same_entries(const std::map<std::string, std::string>& inventory,
                  const std::vector<bootloader::GeneratedEntry>& desired) {
    if (inventory.size() != desired.size()) {
        return false;
    }
    return std::all_of(desired.begin(), desired.end(),
                       [&](const bootloader::GeneratedEntry& entry) {
                           const auto it = inventory.find(entry.file_name);
                           return it != inventory.end() && it->second == entry.text;
                       });
}

// One entry file apply_entries writes (`entry` set) or removes (`entry` null), in the order it
// does so: the desired entries by file name, then the stale inventory names by file name.
struct EntryChange {
    fs::path path;
    const bootloader::GeneratedEntry* entry = nullptr;
};

std::vector<EntryChange> entry_changes(const fs::path& entry_directory,
                                       const std::map<std::string, std::string>& inventory,
                                       const std::vector<bootloader::GeneratedEntry>& desired) {
    std::vector<const bootloader::GeneratedEntry*> ordered;
    for (const bootloader::GeneratedEntry& entry : desired) {
        ordered.push_back(&entry);
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto* a, const auto* b) { return a->file_name < b->file_name; });
    std::vector<EntryChange> changes;
    for (const bootloader::GeneratedEntry* entry : ordered) {
        changes.push_back({entry_directory / entry->file_name, entry});
    }
    for (const auto& owned : inventory) {
        const std::string& file_name = owned.first;
        const bool still_desired = std::any_of(
            desired.begin(), desired.end(),
            [&](const bootloader::GeneratedEntry& entry) { return entry.file_name == file_name; });
        if (!still_desired) {
            changes.push_back({entry_directory / file_name, nullptr});
        }
    }
    return changes;
}

// What is at `entry_path` now, refusing anything that a write (`writing`) or a removal of it
// may not touch.
Inspected inspect_before(const fs::path& entry_path, bool writing, std::string_view machine_id) {
    Inspected found = inspect_entry(entry_path, machine_id);
    const std::string path = base::display_path(entry_path);
    if (found.state == OnDisk::NotAFile) {
        base::throw_error(writing ? "refusing to overwrite non-file systemd-boot entry " + path
                                  : "refusing to remove non-file generated entry " + path);
    }
    if (found.state == OnDisk::Foreign) {
        base::throw_error(writing ? "refusing to overwrite unowned systemd-boot entry " + path
                                  : "refusing to remove unowned systemd-boot entry " + path);
    }
    return found;
}

Inspected inspect_for_change(const EntryChange& change, std::string_view machine_id) {
    return inspect_before(change.path, change.entry != nullptr, machine_id);
}

// Descriptors on the entry files a run replaces or removes. On FAT a file's clusters are freed
// when its last descriptor is closed, so holding it keeps them allocated until the directory that
// no longer names it has been written back. Left with files still held (a failure midway), the
// destructor writes the filesystem back, as far as it can, before it closes them.
class HeldFiles {
  public:
    explicit HeldFiles(const fs::path& directory) : directory_(directory) {}
    HeldFiles(const HeldFiles&) = delete;
    HeldFiles& operator=(const HeldFiles&) = delete;
    ~HeldFiles() {
        if (!held_.empty()) {
            const base::UniqueFd fd = base::open_directory(directory_, O_NOFOLLOW);
            (void)::syncfs(fd.get());
            (void)::fsync(fd.get());
        }
    }

    // Holds the file at `path`; nothing there (or a link) is nothing to hold.
    void hold(const fs::path& path) {
        base::UniqueFd fd(
            ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
        if (!fd && errno != ENOENT && errno != ELOOP) {
            base::throw_io_error(errno);
        }
        if (fd) {
            held_.push_back(std::move(fd));
        }
    }

    // Closes them all; the caller has written the filesystem back since the last hold.
    void close_written_back() { held_.clear(); }

  private:
    fs::path directory_;
    std::vector<base::UniqueFd> held_;
};

}  // namespace

std::uint64_t deploy_objects(const std::map<store::ObjectId, std::uint64_t>& objects,
                             const fs::path& archive_store_root, const fs::path& boot_store_root,
                             store::HashCache& hashes) {
    std::vector<store::ObjectId> copied;
    std::uint64_t copies = 0;
    try {
        for (const auto& [id, size] : objects) {
            // A file where a fan-out directory belongs would otherwise stop every run.
            (void)store::clear_fan_out(boot_store_root, id);
            const bool was_absent = base::kind_or_absent(store::object_path(boot_store_root, id)) ==
                                    base::FileKind::Absent;
            if (!store::copy_object(boot_store_root, archive_store_root, id, &hashes)) {
                continue;
            }
            ++copies;
            if (was_absent) {
                copied.push_back(id);
            }
        }
    } catch (const base::AppError&) {
        for (auto it = copied.rbegin(); it != copied.rend(); ++it) {
            try {
                (void)store::remove_object(boot_store_root, *it);
            } catch (const base::AppError&) {
                // The copy error is the one to report; a leftover object is collected later.
            }
        }
        throw;
    }
    return copies;
}

void check_entry_changes(const fs::path& entry_directory, std::string_view machine_id,
                         const std::map<std::string, std::string>& inventory,
                         const std::vector<bootloader::GeneratedEntry>& desired) {
    bootloader::check_entry_directory(entry_directory);
    if (same_entries(inventory, desired)) {
        return;
    }
    for (const EntryChange& change : entry_changes(entry_directory, inventory, desired)) {
        (void)inspect_for_change(change, machine_id);
    }
}

bool apply_entries(const fs::path& entry_directory, std::string_view machine_id,
                   const std::map<std::string, std::string>& inventory,
                   const std::vector<bootloader::GeneratedEntry>& desired) {
    bootloader::check_entry_directory(entry_directory);
    if (same_entries(inventory, desired)) {
        return false;
    }
    // All new texts are written first and made durable with one sync of the boot filesystem,
    // which holds nothing but boot files: one sync per entry would make a run that adds one
    // snapshot cost as many syncs as there are entries. Each name is inspected when its text is
    // staged and again just before its rename. An entry that already holds its text is not
    // written at all: on FAT a replacing rename is not atomic, and a power cut inside one can
    // damage the entry it replaces, so no live entry is exposed to it without need.
    const std::vector<EntryChange> changes = entry_changes(entry_directory, inventory, desired);
    base::AtomicWriteBatch writes(base::AtomicWriteBatch::Sync::WholeFilesystem);
    for (const EntryChange& change : changes) {
        if (change.entry != nullptr) {
            const Inspected found = inspect_for_change(change, machine_id);
            if (found.state != OnDisk::Ours || found.text != change.entry->text) {
                writes.add(change.path, change.entry->text, kEntryMode);
            }
        }
    }
    // On FAT the clusters of a file that a rename replaces or an unlink removes are freed when
    // its last descriptor is closed, and that change of the allocation table can reach the
    // medium before the directory sector that no longer names the file: a power cut between
    // the two leaves the old name on free clusters, which fsck.vfat cuts to an empty file (and
    // which the firmware may read once the clusters are reused). So every entry file about to be
    // replaced or removed is held open until the directory that no longer names it is durable.
    HeldFiles held(entry_directory);
    const bool written = writes.staged() > 0;
    writes.commit([&](const fs::path& target) {
        (void)inspect_before(target, true, machine_id);
        held.hold(target);
    });
    // The commit has written the renames back.
    held.close_written_back();
    bool removed = false;
    for (const EntryChange& change : changes) {
        if (change.entry == nullptr &&
            inspect_for_change(change, machine_id).state == OnDisk::Ours) {
            held.hold(change.path);
            if (::unlink(change.path.c_str()) != 0 && errno != ENOENT) {
                base::throw_io_error(errno);
            }
            removed = true;
        }
    }
    // The objects the old texts named are collected right after this: the directory that no
    // longer names them must be on the medium first. The whole boot filesystem is written back,
    // as the commit does: on FAT an fsync of the entry directory alone can leave its removals
    // unwritten.
    if (written || removed) {
        base::sync_filesystem_of(entry_directory);
    }
    held.close_written_back();
    return true;
}

}  // namespace snapwright::generation
