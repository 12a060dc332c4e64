#include "app/verify_command.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "app/output.hpp"
#include "base/app_error.hpp"
#include "base/file_kind.hpp"
#include "base/paths.hpp"
#include "base/text_file.hpp"
#include "bootloader/booted_subvolume.hpp"
#include "bootloader/entry_directory.hpp"
#include "bootloader/entry_parser.hpp"
#include "bootloader/entry_references.hpp"
#include "bootloader/fragment.hpp"
#include "bootloader/render.hpp"
#include "generation/desired_entries.hpp"
#include "manifest/manifest_store.hpp"
#include "manifest/newest_manifests.hpp"
#include "store/object_store.hpp"
#include "system/archive_location.hpp"
#include "system/boot_lock.hpp"
#include "system/mount_table.hpp"
#include "system/subvolume_location.hpp"

namespace snapwright::app {
namespace {

namespace fs = std::filesystem;

using Inventory = std::map<std::string, std::string>;

std::string object_name(const store::ObjectId& id) {
    return id.algorithm + ":" + id.digest;
}

// A file the archive derives from its manifest must hold exactly `text` plus its final newline.
void check_derived_file(const fs::path& path, std::string text, const std::string& label,
                        VerifyReport& report) {
    if (!text.ends_with('\n')) {
        text += '\n';
    }
    if (base::kind_or_absent(path) != base::FileKind::Regular) {
        report.issues.push_back("missing " + label + ": " + base::display_path(path));
        return;
    }
    // Compared as bytes: a file damaged so far that it is not even UTF-8 is one more finding,
    // not a reason to stop checking everything after it.
    if (base::read_file_bytes(path) != text) {
        report.issues.push_back("stale or modified " + label + ": " + base::display_path(path));
    }
}

void check_side_files(const generation::RunContext& context,
                      const manifest::SnapshotManifest& manifest, VerifyReport& report) {
    const fs::path directory =
        manifest::snapshot_directory(context.archive_root, manifest.snapshot.key);
    check_derived_file(directory / manifest::kSourceConfigFile, manifest.source_config,
                       "archive source config", report);
    check_derived_file(directory / manifest::kFragmentFile,
                       bootloader::render_fragment(manifest, context.boot_data_relative),
                       "archive generated fragment", report);
}

// Objects shared between manifests or profiles are hashed once: `checked` holds those done.
void check_archive_objects(const fs::path& archive_root, const manifest::SnapshotManifest& manifest,
                           std::set<store::ObjectId>& checked, VerifyReport& report) {
    const auto check = [&](const store::ObjectId& id) {
        if (!checked.insert(id).second) {
            return;
        }
        ++report.checked_objects;
        if (!store::verify_object(archive_root, id)) {
            report.issues.push_back("missing or corrupted archive object: " + object_name(id));
        }
    };
    for (const manifest::BootProfile& profile : manifest.profiles) {
        check(profile.kernel.object);
        for (const store::AssetRef& module : profile.modules) {
            check(module.object);
        }
    }
}

void check_boot_objects(const fs::path& boot_data_root, const std::set<store::ObjectId>& deployed,
                        VerifyReport& report) {
    for (const store::ObjectId& id : deployed) {
        ++report.checked_objects;
        if (!store::verify_object(boot_data_root, id)) {
            report.issues.push_back("missing or corrupted boot object: " + object_name(id));
        }
    }
}

// Whether the generated entries on disk are exactly those a generate run would write now, from
// the newest SNAPSHOT_LIMIT of this system's manifests (the only ones its plan can pick). The
// entries are rendered and compared one at a time: of two with one file name the first counts.
bool entries_match(const generation::RunContext& context,
                   std::vector<manifest::SnapshotManifest> own, const Inventory& generated) {
    const generation::DesiredEntries desired = generation::desired_entries(std::move(own), context);
    std::set<std::string> names;
    for (const bootloader::GeneratedEntry& entry : desired.entries) {
        if (names.contains(entry.file_name)) {
            continue;
        }
        const auto found = generated.find(entry.file_name);
        if (found == generated.end() || found->second != entry.text) {
            return false;
        }
        names.insert(entry.file_name);
    }
    return names.size() == generated.size();
}

// An entry whose subvol= names no subvolume drops to the initramfs shell however intact its
// assets are. Listing the subvolumes needs root; other users are not told what they cannot see.
// Only the paths the entries boot are held, not the list of every subvolume.
void check_booted_subvolumes(const generation::RunContext& context, const Inventory& generated,
                             VerifyReport& report) {
    if (::geteuid() != 0 || generated.empty()) {
        return;
    }
    // Each entry's subvolume as written and as a path from the top level, in entry order.
    std::vector<std::pair<std::string, std::string>> booted;
    std::set<std::string, std::less<>> missing;
    for (const auto& [file_name, text] : generated) {
        std::optional<std::string> subvolume =
            bootloader::booted_subvolume(bootloader::parse_entry(file_name, text).options);
        if (!subvolume) {
            continue;
        }
        std::string path = bootloader::subvolume_path_from_top_level(*subvolume);
        if (!path.empty()) {
            missing.insert(path);
            booted.emplace_back(std::move(*subvolume), std::move(path));
        }
    }
    system::for_each_subvolume_path(
        system::root_mount_point(context.filesystems), [&missing](std::string_view path) {
            if (const auto found = missing.find(path); found != missing.end()) {
                missing.erase(found);
            }
        });
    for (const auto& [subvolume, path] : booted) {
        if (missing.contains(path)) {
            report.issues.push_back("deployed systemd-boot entry boots a missing subvolume: " +
                                    subvolume);
        }
    }
}

void write_issues(const std::vector<std::string>& issues) {
    std::string text;
    for (const std::string& issue : issues) {
        text += "ERROR: " + issue + "\n";
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace

VerifyReport verify_archive_and_boot(const generation::RunContext& context) {
    VerifyReport report;
    // One manifest at a time: its files and objects are checked as it is read, and only the
    // manifests the plan could deploy are kept.
    std::set<store::ObjectId> archive_checked;
    manifest::NewestManifests own(context.config.snapshot_limit);
    manifest::for_each_manifest(context.archive_root, [&](manifest::SnapshotManifest&& manifest) {
        check_side_files(context, manifest, report);
        check_archive_objects(context.archive_root, manifest, archive_checked, report);
        if (generation::belongs_to_this_system(manifest, context)) {
            // Checked above; neither the plan nor the entries read it.
            manifest.source_config.clear();
            own.offer(std::move(manifest));
        }
    });

    const Inventory generated =
        bootloader::list_generated_entry_files(context.entry_directory, context.machine_id);
    const std::set<store::ObjectId> deployed =
        bootloader::collect_entry_references(generated, context.boot_data_relative);
    check_boot_objects(context.boot_data_root, deployed, report);

    if (!entries_match(context, own.take(), generated)) {
        report.issues.emplace_back(
            "deployed systemd-boot entries do not match the archive and retention policy");
    }
    check_booted_subvolumes(context, generated, report);
    return report;
}

void run_verify_command(const Command&, const generation::RunContext& context) {
    // Shared, so that a generate or gc run half-way is waited for instead of reported as damage.
    const std::optional<system::BootLock> lock = system::acquire_shared_boot_lock();
    // An archive that is not there to read would show as every entry out of place.
    system::check_archive_reachable(context.config.archive_path, context.filesystems);
    const VerifyReport report = verify_archive_and_boot(context);
    write_stdout("Checked objects: " + std::to_string(report.checked_objects) + "\n");
    if (report.issues.empty()) {
        write_stdout("No integrity issues found\n");
        return;
    }
    write_issues(report.issues);
    base::throw_error("verification found " + std::to_string(report.issues.size()) + " issue(s)");
}

}  // namespace snapwright::app
