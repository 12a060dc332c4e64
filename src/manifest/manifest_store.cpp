#include "manifest/manifest_store.hpp"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <utility>

#include "base/app_error.hpp"
#include "base/atomic_file.hpp"
#include "base/directory.hpp"
#include "base/directory_chain.hpp"
#include "base/file_io.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "base/tree_removal.hpp"
#include "base/unique_fd.hpp"
#include "manifest/manifest_json.hpp"

namespace snapwright::manifest {
namespace {

constexpr unsigned kFileMode = 0600;
constexpr std::size_t kMaxComponentBytes = 128;

constexpr std::array<const char*, 4> kComponentLabels{"filesystem UUID", "provider",
                                                      "provider instance", "snapshot ID"};

std::array<const std::string*, 4> key_components(const provider::SnapshotKey& key) {
    return {&key.filesystem_uuid, &key.provider, &key.instance, &key.snapshot_id};
}

// "." and ".." pass the byte rule but would collapse or climb in path arithmetic.
void check_key_component(const char* label, const std::string& component) {
    const bool valid =
        !component.empty() && component.size() <= kMaxComponentBytes &&
        std::all_of(component.begin(), component.end(), base::is_portable_name_char) &&
        component != "." && component != "..";
    if (!valid) {
        base::throw_error(std::string("invalid ") + label +
                          " path component: " + base::lossy_utf8(component));
    }
}

// The snapshot directory relative to the root, checked to lie below it.
fs::path relative_snapshot_directory(const fs::path& root, const provider::SnapshotKey& key) {
    const fs::path directory = snapshot_directory(root, key);
    if (!base::path_starts_with(directory, root)) {
        base::throw_error("snapshot directory escaped the manifest root");
    }
    const auto whole = base::path_components(directory);
    const auto head = base::path_components(root);
    fs::path relative;
    for (std::size_t i = head.size(); i < whole.size(); ++i) {
        relative /= whole[i];
    }
    return relative;
}

std::string with_final_newline(std::string_view text) {
    std::string result(text);
    if (result.empty() || result.back() != '\n') {
        result += '\n';
    }
    return result;
}

// The content of `path` when it is a regular file that can be read; none otherwise. Used only
// to decide whether a rewrite can be skipped, so every failure just means "rewrite".
std::optional<std::string> existing_file_content(const fs::path& path) {
    return base::read_regular_file_if_present(path, std::numeric_limits<std::size_t>::max());
}

// Replaces `path` by `content` now, or stages it in `batch` when there is one.
void write_snapshot_file(const fs::path& path, const std::string& content,
                         base::AtomicWriteBatch* batch) {
    if (batch != nullptr) {
        batch->add(path, content, kFileMode);
    } else {
        base::write_file_atomically(path, content, kFileMode);
    }
}

// Reads one listed manifest.json, the name `file` ends with in the directory open at
// `directory`, and checks it against the four directories above it.
SnapshotManifest read_listed_manifest(const fs::path& snapshots_root, const fs::path& file,
                                      int directory) {
    if (!base::path_starts_with(file, snapshots_root)) {
        base::throw_error("manifest path escaped the snapshots root");
    }
    const auto whole = base::path_components(file);
    const auto head = base::path_components(snapshots_root);
    const std::vector<std::string> relative(
        whole.begin() + static_cast<std::ptrdiff_t>(head.size()), whole.end());
    if (relative.size() != 5 || relative[4] != kManifestFile) {
        base::throw_error("invalid manifest storage path: " + base::display_path(file));
    }
    for (std::size_t i = 0; i < 4; ++i) {
        const char* label = kComponentLabels[i];
        if (!base::is_ordinary_name(relative[i])) {
            base::throw_error(std::string("invalid ") + label + " in manifest path");
        }
        if (!base::is_valid_utf8(relative[i])) {
            base::throw_error(std::string(label) + " in manifest path is not valid UTF-8");
        }
        check_key_component(label, relative[i]);
    }
    SnapshotManifest manifest = parse_manifest(base::read_text_file_at(directory, relative[4]));
    if (manifest.schema_version != kSchemaVersion) {
        base::throw_error("unsupported manifest schema " + std::to_string(manifest.schema_version) +
                          " in " + base::display_path(file));
    }
    const provider::SnapshotKey stored{relative[0], relative[1], relative[2], relative[3]};
    if (manifest.snapshot.key != stored) {
        base::throw_error("manifest key does not match its storage path: " +
                          base::display_path(file));
    }
    return manifest;
}

// One name in a directory of the walk, with what lies there (a link is not followed).
struct WalkEntry {
    std::string name;
    bool directory = false;
    bool manifest = false;
};

// The subdirectories and manifest files directly in `directory`, sorted by name as bytes, so
// that the depth-first walk meets the snapshots in key order.
std::vector<WalkEntry> walk_entries(base::Directory& directory) {
    std::vector<WalkEntry> entries;
    for (base::DirectoryEntry& entry : directory.entries()) {
        const bool is_directory = entry.kind == base::FileKind::Directory;
        const bool manifest = entry.kind == base::FileKind::Regular && entry.name == kManifestFile;
        if (is_directory || manifest) {
            entries.push_back({std::move(entry.name), is_directory, manifest});
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const WalkEntry& a, const WalkEntry& b) { return a.name < b.name; });
    return entries;
}

// Walks the directory at `path`, open as `directory`. Each name is opened relative to its
// directory, a subdirectory without following a link, so no path is resolved twice.
void walk_snapshots(const fs::path& snapshots_root, const fs::path& path, base::Directory directory,
                    const ManifestVisitor& visit) {
    for (const WalkEntry& entry : walk_entries(directory)) {
        if (entry.directory) {
            base::UniqueFd child(::openat(directory.fd(), entry.name.c_str(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            walk_snapshots(snapshots_root, path / entry.name,
                           base::Directory::adopt(std::move(child)), visit);
        } else {
            visit(read_listed_manifest(snapshots_root, path / entry.name, directory.fd()));
        }
    }
}

bool is_snapshot_file_name(std::string_view name) {
    return name == kManifestFile || name == kSourceConfigFile || name == kFragmentFile;
}

// The names of the real directories directly in `directory` (symbolic links are not followed).
// Names rather than paths: a path holds each of its components, and a level of the archive may
// hold a directory for each of thousands of snapshots.
std::vector<std::string> subdirectory_names(const fs::path& directory) {
    std::vector<std::string> names;
    for (base::DirectoryEntry& entry : base::Directory::open(directory).entries()) {
        if (entry.kind == base::FileKind::Directory) {
            names.push_back(std::move(entry.name));
        }
    }
    names.shrink_to_fit();
    return names;
}

// Below R/snapshots at `depth` (1 = filesystem UUID level, 4 = snapshot directories): clears
// what interrupted writes and removals left, deepest first, so a level emptied below it goes
// too.
void remove_leftovers_below(const fs::path& directory, int depth) {
    if (depth == 4) {
        // A snapshot directory whose listing showed names that stay is not worth an rmdir.
        std::size_t remaining = 0;
        (void)base::remove_temporaries(directory, is_snapshot_file_name, {}, &remaining);
        if (remaining > 0) {
            return;
        }
    } else {
        for (const std::string& name : subdirectory_names(directory)) {
            remove_leftovers_below(directory / name, depth + 1);
        }
    }
    (void)base::remove_if_empty(directory);
}

}  // namespace

void remove_snapshot_leftovers(const fs::path& root) {
    const fs::path snapshots_root = root / kSnapshotsDirectory;
    if (base::kind_or_absent(snapshots_root) != base::FileKind::Directory) {
        return;
    }
    for (const std::string& name : subdirectory_names(snapshots_root)) {
        remove_leftovers_below(snapshots_root / name, 1);
    }
}

fs::path snapshot_directory(const fs::path& root, const provider::SnapshotKey& key) {
    const auto components = key_components(key);
    for (std::size_t i = 0; i < components.size(); ++i) {
        check_key_component(kComponentLabels[i], *components[i]);
    }
    return root / kSnapshotsDirectory / key.filesystem_uuid / key.provider / key.instance /
           key.snapshot_id;
}

std::string source_config_file_text(std::string_view source_config) {
    return with_final_newline(source_config);
}

void save_manifest(const fs::path& root, const SnapshotManifest& manifest,
                   base::AtomicWriteBatch* batch) {
    if (manifest.schema_version != kSchemaVersion) {
        base::throw_error("cannot save unsupported manifest schema " +
                          std::to_string(manifest.schema_version));
    }
    const fs::path directory =
        base::ensure_directory(root, relative_snapshot_directory(root, manifest.snapshot.key));
    write_snapshot_file(directory / kManifestFile, serialize_manifest(manifest), batch);
    write_snapshot_file(directory / kSourceConfigFile,
                        source_config_file_text(manifest.source_config), batch);
}

SnapshotManifest load_manifest(const fs::path& root, const provider::SnapshotKey& key) {
    const fs::path directory = snapshot_directory(root, key);
    SnapshotManifest manifest = parse_manifest(base::read_text_file(directory / kManifestFile));
    if (manifest.schema_version != kSchemaVersion) {
        base::throw_error("unsupported manifest schema " + std::to_string(manifest.schema_version));
    }
    const fs::path source_config = directory / kSourceConfigFile;
    if (base::followed_kind_or_absent(source_config) == base::FileKind::Regular) {
        manifest.source_config = base::read_text_file(source_config);
    }
    if (manifest.snapshot.key != key) {
        base::throw_error("manifest key does not match its storage path");
    }
    return manifest;
}

void for_each_manifest(const fs::path& root, const ManifestVisitor& visit) {
    const fs::path snapshots_root = root / kSnapshotsDirectory;
    if (base::followed_kind_or_absent(snapshots_root) == base::FileKind::Directory) {
        walk_snapshots(snapshots_root, snapshots_root, base::Directory::open(snapshots_root),
                       visit);
    }
}

std::vector<SnapshotManifest> list_manifests(const fs::path& root) {
    std::vector<SnapshotManifest> manifests;
    for_each_manifest(
        root, [&](SnapshotManifest&& manifest) { manifests.push_back(std::move(manifest)); });
    return manifests;
}

namespace {

// A file that already holds the right text is only read: the directory chain is checked (and
// made) only on the way to a write, which is the only step where a link in it could do harm.
bool write_unless_identical(const fs::path& root, const provider::SnapshotKey& key,
                            std::string_view file_name, const std::string& expected,
                            base::AtomicWriteBatch* batch) {
    if (existing_file_content(snapshot_directory(root, key) / file_name) == expected) {
        return false;
    }
    const fs::path directory = base::ensure_directory(root, relative_snapshot_directory(root, key));
    write_snapshot_file(directory / file_name, expected, batch);
    return true;
}

}  // namespace

void write_fragment(const fs::path& root, const provider::SnapshotKey& key, std::string_view text,
                    base::AtomicWriteBatch* batch) {
    (void)write_unless_identical(root, key, kFragmentFile, with_final_newline(text), batch);
}

bool snapshot_files_current(const fs::path& root, const SnapshotManifest& manifest,
                            std::string_view fragment_text) {
    // One resolution of the directory's path serves both files.
    const base::UniqueFd directory =
        base::open_directory(snapshot_directory(root, manifest.snapshot.key));
    if (!directory) {
        return false;
    }
    const auto content = [&](const char* name) {
        return base::read_regular_file_if_present_at(directory.get(), name,
                                                     std::numeric_limits<std::size_t>::max());
    };
    return content(kFragmentFile) == with_final_newline(fragment_text) &&
           content(kSourceConfigFile) == source_config_file_text(manifest.source_config);
}

bool repair_source_config(const fs::path& root, const SnapshotManifest& manifest,
                          base::AtomicWriteBatch* batch) {
    return write_unless_identical(root, manifest.snapshot.key, kSourceConfigFile,
                                  source_config_file_text(manifest.source_config), batch);
}

bool remove_manifest(const fs::path& root, const provider::SnapshotKey& key) {
    const fs::path directory = snapshot_directory(root, key);
    if (base::followed_kind_or_absent(directory) == base::FileKind::Absent) {
        return false;
    }
    base::remove_tree(directory, kManifestFile);
    base::sync_directory(directory.parent_path());

    const fs::path snapshots_root = root / kSnapshotsDirectory;
    const std::size_t floor = base::path_components(snapshots_root).size();
    for (fs::path current = directory.parent_path();
         base::path_starts_with(current, snapshots_root) &&
         base::path_components(current).size() > floor;
         current = current.parent_path()) {
        if (!base::remove_if_empty(current)) {
            break;
        }
    }
    return true;
}

}  // namespace snapwright::manifest
