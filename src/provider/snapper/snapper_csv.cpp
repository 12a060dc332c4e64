#include "provider/snapper/snapper_csv.hpp"

#include "base/app_error.hpp"
#include "base/text.hpp"

namespace snapwright::provider::snapper {

std::vector<CsvRecord> split_snapper_csv(std::string_view output) {
    std::vector<CsvRecord> records;
    CsvRecord record;
    std::string field;
    bool quoted = false;
    std::size_t start = 0;

    const auto finish_record = [&](std::size_t end) {
        record.fields.push_back(std::move(field));
        field.clear();
        record.text = std::string(output.substr(start, end - start));
        if (!base::trim(record.text).empty()) {
            records.push_back(std::move(record));
        }
        record = CsvRecord{};
    };

    for (std::size_t i = 0; i < output.size(); ++i) {
        const char c = output[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < output.size() && output[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            record.fields.push_back(std::move(field));
            field.clear();
        } else if (c == '\n') {
            std::size_t end = i;
            // A carriage return just before the line feed was read outside quotes (inside them
            // the line feed would belong to the field), so it is the field's last character.
            if (end > start && output[end - 1] == '\r') {
                --end;
                field.pop_back();
            }
            finish_record(end);
            start = i + 1;
        } else {
            field += c;
        }
    }
    if (quoted) {
        base::throw_error("unterminated quoted Snapper CSV field");
    }
    if (start < output.size()) {
        finish_record(output.size());
    }
    return records;
}

}  // namespace snapwright::provider::snapper
