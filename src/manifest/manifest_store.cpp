#include "manifest/manifest_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <optional>
#include <system_error>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "base/unique_fd.hpp"
#include "manifest/manifest_json.hpp"
#include "manifest/tree_removal.hpp"
#include "store/fs_routines.hpp"

namespace snapwright::manifest {
namespace {

constexpr unsigned kFileMode = 0600;
constexpr std::size_t kMaxComponentBytes = 128;

constexpr std::array<const char*, 4> kComponentLabels{"filesystem UUID", "provider",
                                                      "provider instance", "snapshot ID"};

std::array<const std::string*, 4> key_components(const provider::SnapshotKey& key) {
    return {&key.filesystem_uuid, &key.provider, &key.instance, &key.snapshot_id};
}

bool is_component_byte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// "." and ".." pass the byte rule but would collapse or climb in path arithmetic.
void check_key_component(const char* label, const std::string& component) {
    const bool valid = !component.empty() && component.size() <= kMaxComponentBytes &&
                       std::all_of(component.begin(), component.end(), is_component_byte) &&
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

void write_unless_identical(const fs::path& path, const std::string& content) {
    if (existing_file_content(path) == content) {
        return;
    }
    store::write_file_atomically(path, content, kFileMode);
}

bool is_regular_file_following_links(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool is_directory_following_links(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Reads one listed manifest.json and checks it against the four directories above it.
SnapshotManifest read_listed_manifest(const fs::path& snapshots_root, const fs::path& file) {
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
    SnapshotManifest manifest = parse_manifest(base::read_text_file(file));
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

void walk_snapshots(const fs::path& snapshots_root, const fs::path& directory,
                    std::vector<SnapshotManifest>& found) {
    std::error_code error;
    fs::directory_iterator it(directory, error);
    if (error) {
        base::throw_io_error(error.value());
    }
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) {
            base::throw_io_error(error.value());
        }
        const fs::file_status own = it->symlink_status(error);
        if (error) {
            base::throw_io_error(error.value());
        }
        if (fs::is_directory(own)) {
            walk_snapshots(snapshots_root, it->path(), found);
        } else if (fs::is_regular_file(own) && it->path().filename() == kManifestFile) {
            found.push_back(read_listed_manifest(snapshots_root, it->path()));
        }
    }
    if (error) {
        base::throw_io_error(error.value());
    }
}

// Removes `directory` when it is empty; false when it is not.
bool remove_if_empty(const fs::path& directory) {
    if (::rmdir(directory.c_str()) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) {
            return false;
        }
        base::throw_io_error(errno);
    }
    store::sync_directory(directory.parent_path());
    return true;
}

bool is_snapshot_file_name(std::string_view name) {
    return name == kManifestFile || name == kSourceConfigFile || name == kFragmentFile;
}

// The real directories directly in `directory` (symbolic links are not followed).
std::vector<fs::path> subdirectories(const fs::path& directory) {
    std::vector<fs::path> found;
    std::error_code error;
    fs::directory_iterator it(directory, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const fs::file_status own = it->symlink_status(error);
        if (!error && fs::is_directory(own)) {
            found.push_back(it->path());
        }
    }
    if (error) {
        base::throw_io_error(error.value());
    }
    return found;
}

// Below R/snapshots at `depth` (1 = filesystem UUID level, 4 = snapshot directories): clears
// what interrupted writes and removals left, deepest first, so a level emptied below it goes
// too.
void remove_leftovers_below(const fs::path& directory, int depth) {
    if (depth == 4) {
        (void)store::remove_temporaries(directory, is_snapshot_file_name);
    } else {
        for (const fs::path& child : subdirectories(directory)) {
            remove_leftovers_below(child, depth + 1);
        }
    }
    (void)remove_if_empty(directory);
}

}  // namespace

void remove_snapshot_leftovers(const fs::path& root) {
    const fs::path snapshots_root = root / kSnapshotsDirectory;
    struct stat status {};
    if (::lstat(snapshots_root.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return;
    }
    for (const fs::path& child : subdirectories(snapshots_root)) {
        remove_leftovers_below(child, 1);
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

void save_manifest(const fs::path& root, const SnapshotManifest& manifest) {
    if (manifest.schema_version != kSchemaVersion) {
        base::throw_error("cannot save unsupported manifest schema " +
                          std::to_string(manifest.schema_version));
    }
    const fs::path directory =
        store::ensure_directory(root, relative_snapshot_directory(root, manifest.snapshot.key));
    store::write_file_atomically(directory / kManifestFile, serialize_manifest(manifest),
                                 kFileMode);
    store::write_file_atomically(directory / kSourceConfigFile,
                                 source_config_file_text(manifest.source_config), kFileMode);
}

SnapshotManifest load_manifest(const fs::path& root, const provider::SnapshotKey& key) {
    const fs::path directory = snapshot_directory(root, key);
    SnapshotManifest manifest = parse_manifest(base::read_text_file(directory / kManifestFile));
    if (manifest.schema_version != kSchemaVersion) {
        base::throw_error("unsupported manifest schema " + std::to_string(manifest.schema_version));
    }
    const fs::path source_config = directory / kSourceConfigFile;
    if (is_regular_file_following_links(source_config)) {
        manifest.source_config = base::read_text_file(source_config);
    }
    if (manifest.snapshot.key != key) {
        base::throw_error("manifest key does not match its storage path");
    }
    return manifest;
}

std::vector<SnapshotManifest> list_manifests(const fs::path& root) {
    const fs::path snapshots_root = root / kSnapshotsDirectory;
    std::vector<SnapshotManifest> manifests;
    if (!is_directory_following_links(snapshots_root)) {
        return manifests;
    }
    walk_snapshots(snapshots_root, snapshots_root, manifests);
    std::sort(manifests.begin(), manifests.end(),
              [](const SnapshotManifest& a, const SnapshotManifest& b) {
                  return a.snapshot.key < b.snapshot.key;
              });
    return manifests;
}

void write_fragment(const fs::path& root, const provider::SnapshotKey& key, std::string_view text) {
    const fs::path directory =
        store::ensure_directory(root, relative_snapshot_directory(root, key));
    write_unless_identical(directory / kFragmentFile, with_final_newline(text));
}

bool repair_source_config(const fs::path& root, const SnapshotManifest& manifest) {
    const fs::path directory =
        store::ensure_directory(root, relative_snapshot_directory(root, manifest.snapshot.key));
    const fs::path path = directory / kSourceConfigFile;
    const std::string expected = source_config_file_text(manifest.source_config);
    if (existing_file_content(path) == expected) {
        return false;
    }
    store::write_file_atomically(path, expected, kFileMode);
    return true;
}

bool remove_manifest(const fs::path& root, const provider::SnapshotKey& key) {
    const fs::path directory = snapshot_directory(root, key);
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
        return false;
    }
    remove_tree(directory, kManifestFile);
    store::sync_directory(directory.parent_path());

    const fs::path snapshots_root = root / kSnapshotsDirectory;
    const std::size_t floor = base::path_components(snapshots_root).size();
    for (fs::path current = directory.parent_path();
         base::path_starts_with(current, snapshots_root) &&
         base::path_components(current).size() > floor;
         current = current.parent_path()) {
        if (!remove_if_empty(current)) {
            break;
        }
    }
    return true;
}

}  // namespace snapwright::manifest
