#include "manifest/manifest_json.hpp"

#include <cstdint>
#include <limits>
#include <string>

#include "base/app_error.hpp"
#include "base/json_reader.hpp"
#include "store/object_id.hpp"

namespace snapwright::manifest {
namespace {

using base::Json;

// ---------------------------------------------------------------------------------------------
// Writing

Json object_id_json(const store::ObjectId& id) {
    Json json = Json::object();
    json["algorithm"] = id.algorithm;
    json["digest"] = id.digest;
    return json;
}

Json asset_json(const store::AssetRef& asset) {
    Json json = Json::object();
    json["object"] = object_id_json(asset.object);
    json["kind"] = std::string(store::asset_kind_name(asset.kind));
    json["original_name"] = asset.original_name;
    json["size"] = asset.size;
    return json;
}

Json profile_json(const BootProfile& profile) {
    Json modules = Json::array();
    for (const auto& module : profile.modules) {
        modules.push_back(asset_json(module));
    }
    // std::map iterates in ascending byte order, which is the order the file promises.
    Json options = Json::object();
    for (const auto& [name, values] : profile.options) {
        options[name] = values;
    }
    Json json = Json::object();
    json["name"] = profile.name;
    json["protocol"] = profile.protocol;
    json["kernel"] = asset_json(profile.kernel);
    json["modules"] = std::move(modules);
    json["cmdline"] = profile.cmdline;
    json["options"] = std::move(options);
    return json;
}

Json descriptor_json(const provider::SnapshotDescriptor& descriptor) {
    Json key = Json::object();
    key["filesystem_uuid"] = descriptor.key.filesystem_uuid;
    key["provider"] = descriptor.key.provider;
    key["instance"] = descriptor.key.instance;
    key["snapshot_id"] = descriptor.key.snapshot_id;
    Json properties = Json::object();
    for (const auto& [name, value] : descriptor.properties) {
        properties[std::string(name)] = std::string(value);
    }
    Json json = Json::object();
    json["key"] = std::move(key);
    json["created_utc"] = descriptor.created_utc;
    json["description"] = descriptor.description;
    json["subvolume"] = descriptor.subvolume;
    json["properties"] = std::move(properties);
    return json;
}

Json manifest_json(const SnapshotManifest& manifest) {
    Json profiles = Json::array();
    for (const auto& profile : manifest.profiles) {
        profiles.push_back(profile_json(profile));
    }
    Json json = Json::object();
    json["schema_version"] = manifest.schema_version;
    json["snapshot"] = descriptor_json(manifest.snapshot);
    json["os_name"] = manifest.os_name;
    json["machine_id"] = manifest.machine_id;
    json["source_config"] = manifest.source_config;
    json["profiles"] = std::move(profiles);
    return json;
}

// Maps the document onto the records, naming the first problem the way a reader of the file
// needs it: which field, what was found, what was expected, and where.
class SchemaReader {
  public:
    explicit SchemaReader(base::JsonReader& json) : json_(json) {}

    SnapshotManifest manifest(const Json& node) {
        SnapshotManifest manifest;
        json_.read_record(
            node, "", "struct SnapshotManifest",
            {"schema_version", "snapshot", "os_name", "machine_id", "source_config"},
            [&](const std::string& name, const Json& value, const std::string& path) {
                if (name == "schema_version") {
                    manifest.schema_version = static_cast<std::uint32_t>(json_.unsigned_integer(
                        value, path, std::numeric_limits<std::uint32_t>::max(), "u32"));
                } else if (name == "snapshot") {
                    manifest.snapshot = descriptor(value, path);
                } else if (name == "os_name") {
                    manifest.os_name = json_.string(value, path);
                } else if (name == "machine_id") {
                    manifest.machine_id = json_.string(value, path);
                } else if (name == "source_config") {
                    manifest.source_config = json_.string(value, path);
                } else if (name == "profiles") {
                    manifest.profiles = json_.sequence(
                        value, path,
                        [&](const Json& v, const std::string& p) { return profile(v, p); });
                } else {
                    return false;
                }
                return true;
            });
        return manifest;
    }

  private:
    provider::SnapshotDescriptor descriptor(const Json& node, const std::string& path) {
        provider::SnapshotDescriptor descriptor;
        json_.read_record(
            node, path, "struct SnapshotDescriptor",
            {"key", "created_utc", "description", "subvolume"},
            [&](const std::string& name, const Json& value, const std::string& member) {
                if (name == "key") {
                    descriptor.key = key(value, member);
                } else if (name == "created_utc") {
                    descriptor.created_utc = json_.string(value, member);
                } else if (name == "description") {
                    descriptor.description = json_.string(value, member);
                } else if (name == "subvolume") {
                    descriptor.subvolume = json_.string(value, member);
                } else if (name == "properties") {
                    descriptor.properties =
                        provider::SnapshotProperties(json_.string_map(value, member));
                } else {
                    return false;
                }
                return true;
            });
        return descriptor;
    }

    provider::SnapshotKey key(const Json& node, const std::string& path) {
        provider::SnapshotKey key;
        json_.read_record(
            node, path, "struct SnapshotKey",
            {"filesystem_uuid", "provider", "instance", "snapshot_id"},
            [&](const std::string& name, const Json& value, const std::string& member) {
                if (name == "filesystem_uuid") {
                    key.filesystem_uuid = json_.string(value, member);
                } else if (name == "provider") {
                    key.provider = json_.string(value, member);
                } else if (name == "instance") {
                    key.instance = json_.string(value, member);
                } else if (name == "snapshot_id") {
                    key.snapshot_id = json_.string(value, member);
                } else {
                    return false;
                }
                return true;
            });
        return key;
    }

    BootProfile profile(const Json& node, const std::string& path) {
        BootProfile profile;
        json_.read_record(
            node, path, "struct BootProfile", {"name", "protocol", "kernel"},
            [&](const std::string& name, const Json& value, const std::string& member) {
                if (name == "name") {
                    profile.name = json_.string(value, member);
                } else if (name == "protocol") {
                    profile.protocol = json_.string(value, member);
                } else if (name == "kernel") {
                    profile.kernel = asset(value, member);
                } else if (name == "modules") {
                    profile.modules = json_.sequence(
                        value, member,
                        [&](const Json& v, const std::string& p) { return asset(v, p); });
                } else if (name == "cmdline") {
                    profile.cmdline = json_.string(value, member);
                } else if (name == "options") {
                    profile.options = json_.string_list_map(value, member);
                } else {
                    return false;
                }
                return true;
            });
        return profile;
    }

    store::AssetRef asset(const Json& node, const std::string& path) {
        store::AssetRef asset;
        json_.read_record(
            node, path, "struct AssetRef", {"object", "kind", "original_name", "size"},
            [&](const std::string& name, const Json& value, const std::string& member) {
                if (name == "object") {
                    asset.object = object_id(value, member);
                } else if (name == "kind") {
                    asset.kind = asset_kind(value, member);
                } else if (name == "original_name") {
                    asset.original_name = json_.string(value, member);
                } else if (name == "size") {
                    asset.size = json_.unsigned_integer(
                        value, member, std::numeric_limits<std::uint64_t>::max(), "u64");
                } else {
                    return false;
                }
                return true;
            });
        return asset;
    }

    store::ObjectId object_id(const Json& node, const std::string& path) {
        store::ObjectId id;
        json_.read_record(
            node, path, "struct ObjectId", {"algorithm", "digest"},
            [&](const std::string& name, const Json& value, const std::string& member) {
                if (name == "algorithm") {
                    id.algorithm = json_.string(value, member);
                } else if (name == "digest") {
                    id.digest = json_.string(value, member);
                } else {
                    return false;
                }
                return true;
            });
        return id;
    }

    store::AssetKind asset_kind(const Json& node, const std::string& path) {
        if (!node.is_string()) {
            json_.invalid_type(node, path, "enum AssetKind");
        }
        const auto& name = node.get_ref<const std::string&>();
        if (const auto kind = store::parse_asset_kind(name)) {
            return *kind;
        }
        base::fail_json(
            "unknown variant `" + name +
            "`, expected one of `kernel`, `initramfs`, `microcode`, `unified_kernel_image`, "
            "`device_tree`, `module`, `other`" +
            json_.at(path));
    }

    base::JsonReader& json_;
};

}  // namespace

std::string serialize_manifest(const SnapshotManifest& manifest) {
    // Replacing invalid UTF-8 keeps the writer total; every text the program records is decoded
    // lossily before it gets here, so this only guards against a caller's mistake.
    std::string text = manifest_json(manifest).dump(2, ' ', false, Json::error_handler_t::replace);
    text += '\n';
    return text;
}

SnapshotManifest parse_manifest(std::string_view text) {
    base::JsonReader json(text);
    return SchemaReader(json).manifest(json.document());
}

}  // namespace snapwright::manifest
