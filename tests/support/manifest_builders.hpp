#pragma once

// Manifests built from a few words. Objects are named by one repeated hexadecimal digit, and
// every builder takes what it names first and what it is made of after.

#include <cstdint>
#include <string>
#include <vector>

#include "manifest/schema.hpp"

namespace snapwright::testing {

// A digest of one repeated hexadecimal digit.
inline store::ObjectId object(char digit) {
    return store::ObjectId{"sha256", std::string(64, digit)};
}

// An asset of that object; its file name is "file-<digit>" unless given.
inline store::AssetRef asset(char digit, store::AssetKind kind, std::uint64_t size,
                             std::string name = {}) {
    if (name.empty()) {
        name = std::string("file-") + digit;
    }
    return store::AssetRef{object(digit), kind, std::move(name), size};
}

// A Linux profile booting `kernel` with `modules`, from subvolume "/snap".
inline manifest::BootProfile profile(const store::AssetRef& kernel,
                                     std::vector<store::AssetRef> modules = {},
                                     std::string name = "Linux") {
    manifest::BootProfile result;
    result.name = std::move(name);
    result.protocol = "linux";
    result.kernel = kernel;
    result.modules = std::move(modules);
    result.cmdline = "root=UUID=r rw rootflags=subvol=/snap";
    return result;
}

inline provider::SnapshotKey key(std::string snapshot_id, std::string instance = "root",
                                 std::string provider = "snapper",
                                 std::string uuid = "0f5c6a1e-7d2b-4c3a-9e8f-112233445566") {
    return provider::SnapshotKey{std::move(uuid), std::move(provider), std::move(instance),
                                 std::move(snapshot_id)};
}

// Btrfs snapshot `id` of one filesystem, created at `created`, on machine
// "0123456789abcdef0123456789abcdef".
inline manifest::SnapshotManifest snapshot(const std::string& id, const std::string& created,
                                           std::vector<manifest::BootProfile> profiles) {
    manifest::SnapshotManifest result;
    result.snapshot.key = key(id, "root", "btrfs", "4f6b8c1e-0000-4000-8000-000000000001");
    result.snapshot.created_utc = created;
    result.snapshot.subvolume = "/.snapshots/" + id + "/snapshot";
    result.os_name = "Arch Linux";
    result.machine_id = "0123456789abcdef0123456789abcdef";
    result.profiles = std::move(profiles);
    return result;
}

// A manifest of machine "m1" with every field set and one profile of kernel, microcode and
// initramfs.
inline manifest::SnapshotManifest sample_manifest(provider::SnapshotKey snapshot_key) {
    manifest::SnapshotManifest manifest;
    manifest.snapshot.key = std::move(snapshot_key);
    manifest.snapshot.created_utc = "2024-03-01 10:00:00";
    manifest.snapshot.description = "timeline";
    manifest.snapshot.subvolume = "/.snapshots/" + manifest.snapshot.key.snapshot_id + "/snapshot";
    manifest.snapshot.properties = {{"type", "single"}};
    manifest.os_name = "Arch Linux";
    manifest.machine_id = "m1";
    manifest.source_config = "# source-entry: arch.conf\ntitle Arch\n\n";
    manifest::BootProfile boot =
        profile(asset('a', store::AssetKind::Kernel, 100, "vmlinuz-linux"),
                {asset('b', store::AssetKind::Microcode, 20, "intel-ucode.img"),
                 asset('c', store::AssetKind::Initramfs, 300, "initramfs-linux.img")},
                "Arch");
    boot.cmdline = "root=UUID=x rw rootflags=subvol=" + manifest.snapshot.subvolume;
    manifest.profiles = {boot};
    return manifest;
}

}  // namespace snapwright::testing
