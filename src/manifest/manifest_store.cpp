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
#include "base/private_directory.hpp"
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

bool is_snapshot_file_name(std::string_view name) {
    return name == kManifestFile || name == kSourceConfigFile || name == kFragmentFile;
}

// One walk of R/snapshots, and what it has seen so far.
struct Walk {
    const ListedManifestVisitor& visit;
    bool refuse_shared;
    // The names of the directories on the way down from R/snapshots; the first four are the
    // components of a key.
    std::vector<std::string> names;
    ManifestWalk seen;
};

// The directory the walk is in, as a path; built only for messages.
fs::path walked_directory(const fs::path& snapshots_root, const Walk& walk) {
    fs::path path = snapshots_root;
    for (const std::string& name : walk.names) {
        path /= name;
    }
    return path;
}

// Reads the manifest.json in the directory open at `directory`, reached through `walk.names`,
// and checks it against the four directories above it.
SnapshotManifest read_listed_manifest(const fs::path& snapshots_root, const Walk& walk,
                                      int directory) {
    const auto file = [&] { return walked_directory(snapshots_root, walk) / kManifestFile; };
    if (walk.names.size() != 4) {
        base::throw_error("invalid manifest storage path: " + base::display_path(file()));
    }
    for (std::size_t i = 0; i < 4; ++i) {
        const char* label = kComponentLabels[i];
        const std::string& name = walk.names[i];
        if (!base::is_ordinary_name(name)) {
            base::throw_error(std::string("invalid ") + label + " in manifest path");
        }
        if (!base::is_valid_utf8(name)) {
            base::throw_error(std::string(label) + " in manifest path is not valid UTF-8");
        }
        check_key_component(label, name);
    }
    SnapshotManifest manifest = parse_manifest(base::read_text_file_at(directory, kManifestFile));
    if (manifest.schema_version != kSchemaVersion) {
        base::throw_error("unsupported manifest schema " + std::to_string(manifest.schema_version) +
                          " in " + base::display_path(file()));
    }
    const provider::SnapshotKey& key = manifest.snapshot.key;
    if (key.filesystem_uuid != walk.names[0] || key.provider != walk.names[1] ||
        key.instance != walk.names[2] || key.snapshot_id != walk.names[3]) {
        base::throw_error("manifest key does not match its storage path: " +
                          base::display_path(file()));
    }
    return manifest;
}

// One name in a directory of the walk, with what lies there (a link is not followed).
struct WalkEntry {
    std::string name;
    bool directory = false;
};

// The subdirectories and manifest files directly in `directory`, sorted by name as bytes, so
// that the depth-first walk meets the snapshots in key order. `other_names` tells whether the
// listing held any name that is none of the snapshot files.
std::vector<WalkEntry> walk_entries(base::Directory& directory, bool& other_names) {
    std::vector<WalkEntry> entries;
    other_names = false;
    for (base::DirectoryEntry& entry : directory.entries()) {
        const bool is_directory = entry.kind == base::FileKind::Directory;
        const bool manifest = entry.kind == base::FileKind::Regular && entry.name == kManifestFile;
        other_names = other_names || !is_snapshot_file_name(entry.name);
        if (is_directory || manifest) {
            entries.push_back({std::move(entry.name), is_directory});
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const WalkEntry& a, const WalkEntry& b) { return a.name < b.name; });
    return entries;
}

// Walks the directory open as `directory`, `walk.names` below R/snapshots, and answers how many
// manifests lie in and below it. Each name is opened relative to its directory, a subdirectory
// without following a link, so no path is resolved twice.
std::size_t walk_snapshots(const fs::path& snapshots_root, Walk& walk, base::Directory directory) {
    if (walk.refuse_shared && base::is_shared_writable(directory.fd())) {
        base::refuse_shared_directory(walked_directory(snapshots_root, walk));
    }
    std::size_t found = 0;
    bool other_names = false;
    for (WalkEntry& entry : walk_entries(directory, other_names)) {
        if (entry.directory) {
            base::UniqueFd child(::openat(directory.fd(), entry.name.c_str(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            walk.names.push_back(std::move(entry.name));
            found += walk_snapshots(snapshots_root, walk, base::Directory::adopt(std::move(child)));
            walk.names.pop_back();
        } else {
            walk.visit(read_listed_manifest(snapshots_root, walk, directory.fd()), directory.fd());
            ++found;
        }
    }
    // A directory without a manifest below it, or a snapshot directory with more than its
    // files, is what an interrupted write or removal leaves (or something else the clean-up
    // will pass over, which costs only its look).
    const bool snapshot_level = walk.names.size() == 4;
    if (!walk.names.empty() && (found == 0 || (snapshot_level && other_names))) {
        walk.seen.leftovers = true;
    }
    return found;
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

ManifestWalk walk_manifests(const fs::path& root, const ListedManifestVisitor& visit,
                            bool refuse_shared) {
    const fs::path snapshots_root = root / kSnapshotsDirectory;
    Walk walk{.visit = visit, .refuse_shared = refuse_shared, .names = {}, .seen = {}};
    if (base::followed_kind_or_absent(snapshots_root) == base::FileKind::Directory) {
        (void)walk_snapshots(snapshots_root, walk, base::Directory::open(snapshots_root));
    }
    return walk.seen;
}

void for_each_manifest(const fs::path& root, const ManifestVisitor& visit) {
    (void)walk_manifests(root,
                         [&](SnapshotManifest&& manifest, int) { visit(std::move(manifest)); });
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

bool snapshot_files_current(int directory, const SnapshotManifest& manifest,
                            std::string_view fragment_text) {
    return base::regular_file_holds_at(directory, kFragmentFile,
                                       with_final_newline(fragment_text)) &&
           base::regular_file_holds_at(directory, kSourceConfigFile,
                                       source_config_file_text(manifest.source_config));
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
