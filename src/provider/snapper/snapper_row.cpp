#include "provider/snapper/snapper_row.hpp"

#include <limits>

#include "base/app_error.hpp"
#include "base/text.hpp"

namespace snapwright::provider::snapper {

std::optional<std::uint64_t> parse_snapshot_number(std::string_view text) {
    text = base::trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (number > (kMax - digit) / 10) {
            return std::nullopt;
        }
        number = number * 10 + digit;
    }
    if (number == 0) {
        return std::nullopt;
    }
    return number;
}

std::string snapshot_base(const std::filesystem::path& snapshots_path) {
    std::string base = snapshots_path.native();
    if (!base::is_valid_utf8(base)) {
        base::throw_error("SNAPSHOTS_PATH is not valid UTF-8");
    }
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    return base;
}

std::optional<SnapshotDescriptor> describe_snapper_row(const CsvRecord& record,
                                                       const ProviderScope& scope,
                                                       std::string_view snapshot_base) {
    const std::vector<std::string>& fields = record.fields;
    if (fields.size() < 2) {
        base::throw_error("invalid Snapper CSV row: " + record.text);
    }
    const std::optional<std::uint64_t> number = parse_snapshot_number(fields[0]);
    if (!number) {
        return std::nullopt;
    }
    const std::string id = std::to_string(*number);
    const std::string_view date = base::trim(fields[1]);
    if (date.empty()) {
        base::throw_error("Snapper snapshot " + id + " has no timestamp");
    }
    SnapshotDescriptor descriptor;
    descriptor.key = {scope.filesystem_uuid, scope.provider, scope.instance, id};
    descriptor.created_utc = std::string(date);
    descriptor.description = fields.size() > 3 ? fields[3] : std::string();
    descriptor.subvolume = std::string(snapshot_base) + "/" + id + "/snapshot";
    descriptor.properties = {{"type", fields.size() > 2 ? fields[2] : std::string()}};
    return descriptor;
}

}  // namespace snapwright::provider::snapper
