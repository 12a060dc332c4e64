#include "provider/btrfs/metadata.hpp"

#include <nlohmann/json.hpp>

#include "base/text.hpp"

namespace snapwright::provider::btrfs {
namespace {

// A string member as it stands; an array member as its string elements joined with ","; empty
// for anything else, including a document that is not an object.
std::string member_text(const nlohmann::json& document, const char* name) {
    if (!document.is_object()) {
        return {};
    }
    const auto member = document.find(name);
    if (member == document.end()) {
        return {};
    }
    if (member->is_string()) {
        return member->get<std::string>();
    }
    std::string joined;
    if (member->is_array()) {
        bool first = true;
        for (const auto& element : *member) {
            if (element.is_string()) {
                if (!first) {
                    joined += ',';
                }
                joined += element.get<std::string>();
                first = false;
            }
        }
    }
    return joined;
}

std::optional<nlohmann::json> parse_json(std::string_view text) {
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        return std::nullopt;
    }
    return document;
}

}  // namespace

std::string element_text(std::string_view xml, std::string_view name) {
    const std::string open = "<" + std::string(name) + ">";
    const std::string close = "</" + std::string(name) + ">";
    const std::size_t start = xml.find(open);
    if (start == std::string_view::npos) {
        return {};
    }
    const std::size_t begin = start + open.size();
    const std::size_t end = xml.find(close, begin);
    if (end == std::string_view::npos) {
        return {};
    }
    return std::string(base::trim(xml.substr(begin, end - begin)));
}

SnapshotMetadata parse_snapper_info(std::string_view xml) {
    return {"snapper", element_text(xml, "type"), element_text(xml, "description"),
            element_text(xml, "date")};
}

std::optional<SnapshotMetadata> parse_timeshift_info(std::string_view json) {
    const auto document = parse_json(json);
    if (!document) {
        return std::nullopt;
    }
    return SnapshotMetadata{"timeshift", member_text(*document, "tags"),
                            member_text(*document, "comments"), member_text(*document, "date")};
}

std::optional<SnapshotMetadata> parse_yabsnap_meta(std::string_view json) {
    const auto document = parse_json(json);
    if (!document) {
        return std::nullopt;
    }
    return SnapshotMetadata{"yabsnap", member_text(*document, "trigger"),
                            member_text(*document, "comment"), member_text(*document, "date")};
}

}  // namespace snapwright::provider::btrfs
