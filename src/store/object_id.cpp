#include "store/object_id.hpp"

#include <array>
#include <utility>

namespace snapwright::store {
namespace {

constexpr std::array<std::pair<AssetKind, std::string_view>, 7> kKindNames{{
    {AssetKind::Kernel, "kernel"},
    {AssetKind::Initramfs, "initramfs"},
    {AssetKind::Microcode, "microcode"},
    {AssetKind::UnifiedKernelImage, "unified_kernel_image"},
    {AssetKind::DeviceTree, "device_tree"},
    {AssetKind::Module, "module"},
    {AssetKind::Other, "other"},
}};

}  // namespace

std::string_view asset_kind_name(AssetKind kind) {
    for (const auto& [value, name] : kKindNames) {
        if (value == kind) {
            return name;
        }
    }
    return "other";
}

std::optional<AssetKind> parse_asset_kind(std::string_view name) {
    for (const auto& [value, known] : kKindNames) {
        if (known == name) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace snapwright::store
