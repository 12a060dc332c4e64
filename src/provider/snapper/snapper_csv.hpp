#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace snapwright::provider::snapper {

// One record of Snapper's CSV listing.
struct CsvRecord {
    // The record as printed, without its line end: for messages.
    std::string text;
    std::vector<std::string> fields;

    bool operator==(const CsvRecord&) const = default;
};

// Splits the whole of Snapper's CSV output into records. A double quote starts quoted text
// anywhere in a field; inside it two double quotes stand for one, a comma or a line feed is
// part of the field (Snapper keeps a line break of a description raw), and any other double
// quote ends it. Outside quotes a comma ends a field and a line feed ends a record, dropping one
// carriage return before it; a last record without a line feed counts. Records that are blank
// after trimming white space are left out. Throws "unterminated quoted Snapper CSV field" when
// the output ends inside quotes.
std::vector<CsvRecord> split_snapper_csv(std::string_view output);

}  // namespace snapwright::provider::snapper
