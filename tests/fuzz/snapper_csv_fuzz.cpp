#include <string>
#include <vector>

#include "base/app_error.hpp"
#include "fuzz_check.hpp"
#include "provider/snapper/snapper_csv.hpp"
#include "provider/snapper/snapper_row.hpp"

using namespace snapwright;
using provider::snapper::CsvRecord;

// The records written back with every field quoted.
std::string quoted_csv(const std::vector<CsvRecord>& records) {
    std::string csv;
    for (const CsvRecord& record : records) {
        for (std::size_t i = 0; i < record.fields.size(); ++i) {
            csv += i == 0 ? "\"" : ",\"";
            for (const char c : record.fields[i]) {
                if (c == '"') {
                    csv += '"';
                }
                csv += c;
            }
            csv += '"';
        }
        csv += '\n';
    }
    return csv;
}

// The whole output of `snapper --csvout list --columns number,date,type,description`.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<CsvRecord> records;
    try {
        records = provider::snapper::split_snapper_csv(fuzz::as_text(data, size));
    } catch (const base::AppError&) {
        return 0;
    }
    const std::vector<CsvRecord> again = provider::snapper::split_snapper_csv(quoted_csv(records));
    fuzz::check(again.size() == records.size(), "quoted records read back as many records");
    for (std::size_t i = 0; i < again.size(); ++i) {
        fuzz::check(again[i].fields == records[i].fields, "quoted fields read back unchanged");
    }

    const provider::ProviderScope scope{"f67e03d5-c212-134f-9939-01818c02d1f4", "snapper", "root"};
    for (const CsvRecord& record : records) {
        try {
            const auto descriptor =
                provider::snapper::describe_snapper_row(record, scope, "/.snapshots");
            if (!descriptor)
                continue;
            const std::string& id = descriptor->key.snapshot_id;
            fuzz::check(provider::snapper::parse_snapshot_number(id).has_value() &&
                            std::to_string(*provider::snapper::parse_snapshot_number(id)) == id,
                        "a snapshot ID is a canonical decimal number");
            fuzz::check(descriptor->subvolume == "/.snapshots/" + id + "/snapshot",
                        "the subvolume is named by the number");
            fuzz::check(!descriptor->created_utc.empty(), "a snapshot has a timestamp");
        } catch (const base::AppError&) {
        }
    }
    return 0;
}
