#include "app/verify_command.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <utility>

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

// The entries a generate run would write now.
Inventory expected_entries(const generation::RunContext& context,
                           const std::vector<manifest::SnapshotManifest>& manifests) {
    Inventory entries;
    for (bootloader::GeneratedEntry& entry :
         generation::desired_entries(manifests, context).entries) {
        entries.emplace(std::move(entry.file_name), std::move(entry.text));
    }
    return entries;
}

// An entry whose subvol= names no subvolume drops to the initramfs shell however intact its
// assets are. Listing the subvolumes needs root; other users are not told what they cannot see.
void check_booted_subvolumes(const generation::RunContext& context, const Inventory& generated,
                             VerifyReport& report) {
    if (::geteuid() != 0 || generated.empty()) {
        return;
    }
    const std::set<std::string> subvolumes =
        system::list_subvolume_paths(system::root_mount_point(context.filesystems));
    for (const auto& [file_name, text] : generated) {
        const std::optional<std::string> subvolume =
            bootloader::booted_subvolume(bootloader::parse_entry(file_name, text).options);
        if (!subvolume) {
            continue;
        }
        const std::string path = bootloader::subvolume_path_from_top_level(*subvolume);
        if (!path.empty() && !subvolumes.contains(path)) {
            report.issues.push_back("deployed systemd-boot entry boots a missing subvolume: " +
                                    *subvolume);
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
    const std::vector<manifest::SnapshotManifest> manifests =
        manifest::list_manifests(context.archive_root);
    std::set<store::ObjectId> archive_checked;
    for (const manifest::SnapshotManifest& manifest : manifests) {
        check_side_files(context, manifest, report);
        check_archive_objects(context.archive_root, manifest, archive_checked, report);
    }

    const Inventory generated =
        bootloader::list_generated_entry_files(context.entry_directory, context.machine_id);
    const std::set<store::ObjectId> deployed =
        bootloader::collect_entry_references(generated, context.boot_data_relative);
    check_boot_objects(context.boot_data_root, deployed, report);

    if (expected_entries(context, manifests) != generated) {
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
