#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "provider/snapper/snapper_csv.hpp"
#include "provider/snapshot.hpp"

namespace snapwright::provider::snapper {

// The snapshot number of a listing: ASCII decimal digits after an optional "+", surrounding
// white space ignored, fitting in 64 bits. Nothing for anything else and for 0, the live system.
std::optional<std::uint64_t> parse_snapshot_number(std::string_view text);

// The directory below which a snapshot's subvolume is named: `snapshots_path` without trailing
// "/" (empty for "/"). Throws "SNAPSHOTS_PATH is not valid UTF-8".
std::string snapshot_base(const std::filesystem::path& snapshots_path);

// The descriptor of one record of the columns number, date, type and description, with the key
// (`scope`, number) and the subvolume "<snapshot_base>/<number>/snapshot". Nothing when the
// number is unusable (the row is passed over). Throws "invalid Snapper CSV row: <row>" for a
// record of fewer than two fields and "Snapper snapshot <number> has no timestamp" for an empty
// date. Number and date are trimmed; type and description are kept as printed.
std::optional<SnapshotDescriptor> describe_snapper_row(const CsvRecord& record,
                                                       const ProviderScope& scope,
                                                       std::string_view snapshot_base);

}  // namespace snapwright::provider::snapper
