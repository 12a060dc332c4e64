#pragma once

#include <cstdint>
#include <string>

#include "manifest/schema.hpp"

namespace snapwright::bootloader::testing {

// A digest made of one repeated hexadecimal character, so tests can name objects briefly.
inline store::ObjectId object(char digit) {
    return store::ObjectId{"sha256", std::string(64, digit)};
}

inline store::AssetRef asset(char digit, store::AssetKind kind, std::uint64_t size) {
    return store::AssetRef{object(digit), kind, std::string("file-") + digit, size};
}

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

inline manifest::SnapshotManifest snapshot(const std::string& id, const std::string& created,
                                           std::vector<manifest::BootProfile> profiles) {
    manifest::SnapshotManifest result;
    result.snapshot.key = {"4f6b8c1e-0000-4000-8000-000000000001", "btrfs", "root", id};
    result.snapshot.created_utc = created;
    result.snapshot.subvolume = "/.snapshots/" + id + "/snapshot";
    result.os_name = "Arch Linux";
    result.machine_id = "0123456789abcdef0123456789abcdef";
    result.profiles = std::move(profiles);
    return result;
}

}  // namespace snapwright::bootloader::testing
