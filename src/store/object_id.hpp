#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace snapwright::store {

// Identity of a stored object: the hash algorithm ("sha256") and the hexadecimal digest.
struct ObjectId {
    std::string algorithm;
    std::string digest;

    auto operator<=>(const ObjectId&) const = default;
    bool operator==(const ObjectId&) const = default;
};

// The role of an asset. Written by name in manifests.
enum class AssetKind {
    Kernel,
    Initramfs,
    Microcode,
    UnifiedKernelImage,
    DeviceTree,
    Module,
    Other,
};

// "kernel", "initramfs", "microcode", "unified_kernel_image", "device_tree", "module", "other".
std::string_view asset_kind_name(AssetKind kind);
// The kind with exactly that name (case-sensitive), or none.
std::optional<AssetKind> parse_asset_kind(std::string_view name);

// A stored asset as a manifest records it.
struct AssetRef {
    ObjectId object;
    AssetKind kind = AssetKind::Other;
    std::string original_name;
    std::uint64_t size = 0;

    bool operator==(const AssetRef&) const = default;
};

}  // namespace snapwright::store
