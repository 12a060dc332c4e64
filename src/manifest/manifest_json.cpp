#include "manifest/manifest_json.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/app_error.hpp"
#include "base/text.hpp"
#include "store/object_id.hpp"

namespace snapwright::manifest {
namespace {

// Objects keep their members in insertion order, so writing follows the declared field order and
// reading sees the members in document order.
using Json = nlohmann::ordered_json;

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
        properties[name] = value;
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

// ---------------------------------------------------------------------------------------------
// Reading: nlohmann's lexer and grammar drive a SAX handler that builds the document, refuses
// duplicate members (nlohmann's own DOM builder silently keeps the last one) and remembers where
// each value ended, so that schema errors can name a line and column.

// Byte offsets into the text, by the path of the value ("" is the document, "/snapshot/key" a
// member, "/profiles/0" an element).
struct Positions {
    // Just after a scalar, or just after the opening bracket of a container.
    std::map<std::string, std::size_t> value;
    // Just after the closing brace of an object.
    std::map<std::string, std::size_t> end;
    // The literal text of floating-point numbers, for messages.
    std::map<std::string, std::string> float_text;
};

std::string path_segment(std::string_view name) {
    std::string segment;
    for (char c : name) {
        if (c == '~') {
            segment += "~0";
        } else if (c == '/') {
            segment += "~1";
        } else {
            segment += c;
        }
    }
    return segment;
}

std::string member_path(const std::string& parent, std::string_view name) {
    return parent + "/" + path_segment(name);
}

// " at line L column C" for the byte offset: the line and column of the last byte taken.
std::string location(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view taken = text.substr(0, offset);
    const auto line = 1 + std::count(taken.begin(), taken.end(), '\n');
    const std::size_t last_newline = taken.rfind('\n');
    const std::size_t column =
        last_newline == std::string_view::npos ? offset : offset - last_newline - 1;
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// Hands the text to the lexer byte by byte and counts what it took, so that every SAX event
// knows how far the lexer has read.
class CountingIterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator() = default;
    CountingIterator(const char* position, std::size_t* taken)
        : position_(position), taken_(taken) {}

    reference operator*() const { return *position_; }
    CountingIterator& operator++() {
        ++position_;
        if (taken_ != nullptr) {
            ++*taken_;
        }
        return *this;
    }
    CountingIterator operator++(int) {
        CountingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const CountingIterator& other) const { return position_ == other.position_; }
    bool operator!=(const CountingIterator& other) const { return position_ != other.position_; }

  private:
    const char* position_ = nullptr;
    std::size_t* taken_ = nullptr;
};

class DocumentBuilder final : public nlohmann::json_sax<Json> {
  public:
    DocumentBuilder(std::string_view text, const std::size_t& taken) : text_(text), taken_(taken) {}

    bool null() override { return add(nullptr, taken_); }
    bool boolean(bool value) override { return add(value, taken_); }
    bool number_integer(number_integer_t value) override { return add(value, number_end()); }
    bool number_unsigned(number_unsigned_t value) override { return add(value, number_end()); }
    bool number_float(number_float_t value, const string_t& literal) override {
        positions_.float_text[next_path()] = literal;
        return add(value, number_end());
    }
    bool string(string_t& value) override { return add(std::move(value), taken_); }
    // The JSON lexer never produces binary values.
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override { return open(Json::object()); }
    bool key(string_t& name) override {
        if (stack_.back().node->contains(name)) {
            error_ = "duplicate field `" + name + "`" + location(text_, taken_);
            return false;
        }
        key_ = std::move(name);
        return true;
    }
    bool end_object() override {
        positions_.end[stack_.back().path] = taken_;
        stack_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_array() override {
        stack_.pop_back();
        return true;
    }

    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        // Drop the "[json.exception.parse_error.101] " tag; the rest names line and column.
        std::string message = error.what();
        const std::size_t tag_end = message.find("] ");
        if (!message.empty() && message.front() == '[' && tag_end != std::string::npos) {
            message.erase(0, tag_end + 2);
        }
        // The lexer quotes what it last read, which may be the invalid byte itself.
        error_ = base::lossy_utf8(message);
        return false;
    }

    Json& document() { return document_; }
    const Positions& positions() const { return positions_; }
    const std::string& error() const { return error_; }

  private:
    struct Open {
        Json* node;
        std::string path;
    };

    // The lexer reads one byte past a number to see where it ends, unless the text ends there.
    std::size_t number_end() const {
        const bool looked_ahead =
            taken_ > 0 &&
            std::string_view("0123456789+-.eE").find(text_[taken_ - 1]) == std::string_view::npos;
        return looked_ahead ? taken_ - 1 : taken_;
    }

    std::string next_path() const {
        if (stack_.empty()) {
            return "";
        }
        const Open& top = stack_.back();
        if (top.node->is_array()) {
            return top.path + "/" + std::to_string(top.node->size());
        }
        return member_path(top.path, key_);
    }

    // A container is never appended to while a child of it is open, so the pointers on the stack
    // stay valid.
    Json* insert(Json value) {
        if (stack_.empty()) {
            document_ = std::move(value);
            return &document_;
        }
        Json& parent = *stack_.back().node;
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        Json& slot = parent[key_];
        slot = std::move(value);
        return &slot;
    }

    bool add(Json value, std::size_t offset) {
        positions_.value[next_path()] = offset;
        insert(std::move(value));
        return true;
    }

    bool open(Json container) {
        std::string path = next_path();
        positions_.value[path] = taken_;
        Json* node = insert(std::move(container));
        stack_.push_back(Open{node, std::move(path)});
        return true;
    }

    std::string_view text_;
    const std::size_t& taken_;
    Json document_;
    std::vector<Open> stack_;
    std::string key_;
    Positions positions_;
    std::string error_;
};

[[noreturn]] void fail(std::string cause) {
    base::throw_io_text_error(base::kJsonFailed, std::move(cause));
}

// Maps the document onto the records, naming the first problem the way a reader of the file
// needs it: which field, what was found, what was expected, and where.
class SchemaReader {
  public:
    SchemaReader(std::string_view text, const Positions& positions)
        : text_(text), positions_(positions) {}

    SnapshotManifest manifest(const Json& node) {
        SnapshotManifest manifest;
        read_record(node, "", "struct SnapshotManifest",
                    {"schema_version", "snapshot", "os_name", "machine_id", "source_config"},
                    [&](const std::string& name, const Json& value, const std::string& path) {
                        if (name == "schema_version") {
                            manifest.schema_version = static_cast<std::uint32_t>(unsigned_integer(
                                value, path, std::numeric_limits<std::uint32_t>::max(), "u32"));
                        } else if (name == "snapshot") {
                            manifest.snapshot = descriptor(value, path);
                        } else if (name == "os_name") {
                            manifest.os_name = string(value, path);
                        } else if (name == "machine_id") {
                            manifest.machine_id = string(value, path);
                        } else if (name == "source_config") {
                            manifest.source_config = string(value, path);
                        } else if (name == "profiles") {
                            manifest.profiles = sequence(
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
        read_record(node, path, "struct SnapshotDescriptor",
                    {"key", "created_utc", "description", "subvolume"},
                    [&](const std::string& name, const Json& value, const std::string& member) {
                        if (name == "key") {
                            descriptor.key = key(value, member);
                        } else if (name == "created_utc") {
                            descriptor.created_utc = string(value, member);
                        } else if (name == "description") {
                            descriptor.description = string(value, member);
                        } else if (name == "subvolume") {
                            descriptor.subvolume = string(value, member);
                        } else if (name == "properties") {
                            descriptor.properties = string_map(value, member);
                        } else {
                            return false;
                        }
                        return true;
                    });
        return descriptor;
    }

    provider::SnapshotKey key(const Json& node, const std::string& path) {
        provider::SnapshotKey key;
        read_record(node, path, "struct SnapshotKey",
                    {"filesystem_uuid", "provider", "instance", "snapshot_id"},
                    [&](const std::string& name, const Json& value, const std::string& member) {
                        if (name == "filesystem_uuid") {
                            key.filesystem_uuid = string(value, member);
                        } else if (name == "provider") {
                            key.provider = string(value, member);
                        } else if (name == "instance") {
                            key.instance = string(value, member);
                        } else if (name == "snapshot_id") {
                            key.snapshot_id = string(value, member);
                        } else {
                            return false;
                        }
                        return true;
                    });
        return key;
    }

    BootProfile profile(const Json& node, const std::string& path) {
        BootProfile profile;
        read_record(node, path, "struct BootProfile", {"name", "protocol", "kernel"},
                    [&](const std::string& name, const Json& value, const std::string& member) {
                        if (name == "name") {
                            profile.name = string(value, member);
                        } else if (name == "protocol") {
                            profile.protocol = string(value, member);
                        } else if (name == "kernel") {
                            profile.kernel = asset(value, member);
                        } else if (name == "modules") {
                            profile.modules = sequence(
                                value, member,
                                [&](const Json& v, const std::string& p) { return asset(v, p); });
                        } else if (name == "cmdline") {
                            profile.cmdline = string(value, member);
                        } else if (name == "options") {
                            profile.options = string_list_map(value, member);
                        } else {
                            return false;
                        }
                        return true;
                    });
        return profile;
    }

    store::AssetRef asset(const Json& node, const std::string& path) {
        store::AssetRef asset;
        read_record(node, path, "struct AssetRef", {"object", "kind", "original_name", "size"},
                    [&](const std::string& name, const Json& value, const std::string& member) {
                        if (name == "object") {
                            asset.object = object_id(value, member);
                        } else if (name == "kind") {
                            asset.kind = asset_kind(value, member);
                        } else if (name == "original_name") {
                            asset.original_name = string(value, member);
                        } else if (name == "size") {
                            asset.size = unsigned_integer(
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
        read_record(node, path, "struct ObjectId", {"algorithm", "digest"},
                    [&](const std::string& name, const Json& value, const std::string& member) {
                        if (name == "algorithm") {
                            id.algorithm = string(value, member);
                        } else if (name == "digest") {
                            id.digest = string(value, member);
                        } else {
                            return false;
                        }
                        return true;
                    });
        return id;
    }

    store::AssetKind asset_kind(const Json& node, const std::string& path) {
        if (!node.is_string()) {
            invalid_type(node, path, "enum AssetKind");
        }
        const auto& name = node.get_ref<const std::string&>();
        if (const auto kind = store::parse_asset_kind(name)) {
            return *kind;
        }
        fail("unknown variant `" + name +
             "`, expected one of `kernel`, `initramfs`, `microcode`, `unified_kernel_image`, "
             "`device_tree`, `module`, `other`" +
             at(path));
    }

    // Visits the members in document order; `member` returns false for a name it does not know,
    // which is skipped. Missing required fields are reported after the whole record, first in
    // declared order.
    template <typename Member>
    void read_record(const Json& node, const std::string& path, const char* expected,
                     std::initializer_list<const char*> required, Member member) {
        if (!node.is_object()) {
            invalid_type(node, path, expected);
        }
        std::set<std::string> seen;
        for (auto it = node.begin(); it != node.end(); ++it) {
            if (member(it.key(), it.value(), member_path(path, it.key()))) {
                seen.insert(it.key());
            }
        }
        for (const char* field : required) {
            if (seen.count(field) == 0) {
                fail(std::string("missing field `") + field + "`" + at_end(path));
            }
        }
    }

    template <typename Element>
    std::vector<std::invoke_result_t<Element, const Json&, const std::string&>> sequence(
        const Json& node, const std::string& path, Element element) {
        if (!node.is_array()) {
            invalid_type(node, path, "a sequence");
        }
        std::vector<std::invoke_result_t<Element, const Json&, const std::string&>> result;
        result.reserve(node.size());
        for (std::size_t i = 0; i < node.size(); ++i) {
            result.push_back(element(node[i], path + "/" + std::to_string(i)));
        }
        return result;
    }

    std::string string(const Json& node, const std::string& path) {
        if (!node.is_string()) {
            invalid_type(node, path, "a string");
        }
        return node.get<std::string>();
    }

    std::map<std::string, std::string> string_map(const Json& node, const std::string& path) {
        if (!node.is_object()) {
            invalid_type(node, path, "a map");
        }
        std::map<std::string, std::string> result;
        for (auto it = node.begin(); it != node.end(); ++it) {
            result.emplace(it.key(), string(it.value(), member_path(path, it.key())));
        }
        return result;
    }

    std::map<std::string, std::vector<std::string>> string_list_map(const Json& node,
                                                                    const std::string& path) {
        if (!node.is_object()) {
            invalid_type(node, path, "a map");
        }
        std::map<std::string, std::vector<std::string>> result;
        for (auto it = node.begin(); it != node.end(); ++it) {
            result.emplace(it.key(), sequence(it.value(), member_path(path, it.key()),
                                              [&](const Json& v, const std::string& p) {
                                                  return string(v, p);
                                              }));
        }
        return result;
    }

    std::uint64_t unsigned_integer(const Json& node, const std::string& path, std::uint64_t max,
                                   const char* expected) {
        const std::string wanted = std::string(", expected ") + expected;
        if (node.is_number_unsigned()) {
            const auto value = node.get<std::uint64_t>();
            if (value > max) {
                fail("invalid value: integer `" + std::to_string(value) + "`" + wanted + at(path));
            }
            return value;
        }
        if (node.is_number_integer()) {
            const auto value = node.get<std::int64_t>();
            if (value < 0) {
                fail("invalid value: integer `" + std::to_string(value) + "`" + wanted + at(path));
            }
            return static_cast<std::uint64_t>(value);
        }
        if (node.is_number_float()) {
            // An integer literal too large for 64 bits reaches us as a floating-point number.
            const std::string& literal = float_literal(node, path);
            const bool integer_literal =
                !literal.empty() && literal.find_first_not_of("-0123456789") == std::string::npos;
            if (integer_literal) {
                fail("invalid value: integer `" + literal + "`" + wanted + at(path));
            }
        }
        invalid_type(node, path, expected);
    }

    [[noreturn]] void invalid_type(const Json& node, const std::string& path,
                                   const std::string& expected) {
        fail("invalid type: " + unexpected(node, path) + ", expected " + expected + at(path));
    }

    std::string unexpected(const Json& node, const std::string& path) {
        switch (node.type()) {
            case Json::value_t::null:
                return "null";
            case Json::value_t::boolean:
                return std::string("boolean `") + (node.get<bool>() ? "true" : "false") + "`";
            case Json::value_t::number_integer:
                return "integer `" + std::to_string(node.get<std::int64_t>()) + "`";
            case Json::value_t::number_unsigned:
                return "integer `" + std::to_string(node.get<std::uint64_t>()) + "`";
            case Json::value_t::number_float:
                return "floating point `" + float_literal(node, path) + "`";
            case Json::value_t::string:
                return "string " + node.dump(-1, ' ', false, Json::error_handler_t::replace);
            case Json::value_t::array:
                return "sequence";
            case Json::value_t::object:
                return "map";
            default:
                return "value";
        }
    }

    const std::string& float_literal(const Json& node, const std::string& path) {
        const auto found = positions_.float_text.find(path);
        if (found == positions_.float_text.end()) {
            scratch_ = node.dump();
            return scratch_;
        }
        return found->second;
    }

    std::string at(const std::string& path) const {
        const auto found = positions_.value.find(path);
        return found == positions_.value.end() ? "" : location(text_, found->second);
    }

    std::string at_end(const std::string& path) const {
        const auto found = positions_.end.find(path);
        return found == positions_.end.end() ? "" : location(text_, found->second);
    }

    std::string_view text_;
    const Positions& positions_;
    std::string scratch_;
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
    std::size_t taken = 0;
    DocumentBuilder builder(text, taken);
    const CountingIterator first(text.data(), &taken);
    const CountingIterator last(text.data() + text.size(), nullptr);
    if (!Json::sax_parse(first, last, &builder)) {
        fail(builder.error().empty() ? std::string("invalid JSON document") : builder.error());
    }
    SchemaReader reader(text, builder.positions());
    return reader.manifest(builder.document());
}

}  // namespace snapwright::manifest
