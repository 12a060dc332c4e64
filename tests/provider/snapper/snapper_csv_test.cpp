#include "provider/snapper/snapper_csv.hpp"

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "support/error_of.hpp"

namespace snapwright::provider::snapper {
namespace {

using Fields = std::vector<std::string>;

struct Case {
    const char* name;
    std::string output;
    std::vector<Fields> records;
};

TEST(SnapperCsv, SplitsTheWholeOutputIntoRecords) {
    const Case cases[] = {
        {"plain rows",
         "1,2024-03-01 10:00:00,single,first\n2,d,pre,\n",
         {{"1", "2024-03-01 10:00:00", "single", "first"}, {"2", "d", "pre", ""}}},
        {"comma inside quotes", "1,d,single,\"a, b\"\n", {{"1", "d", "single", "a, b"}}},
        {"doubled quotes", "1,d,single,\"say \"\"hi\"\"\"\n", {{"1", "d", "single", "say \"hi\""}}},
        {"quotes inside a field", "1,d,x\"a,b\"y,\"\"\n", {{"1", "d", "xa,by", ""}}},
        {"line feed inside quotes",
         "1,d,single,\"two\nlines\"\n2,e,single,x\n",
         {{"1", "d", "single", "two\nlines"}, {"2", "e", "single", "x"}}},
        {"CRLF line ends",
         "1,d,s,x\r\n2,e,s,\"y\"\r\n",
         {{"1", "d", "s", "x"}, {"2", "e", "s", "y"}}},
        {"carriage return inside quotes", "1,d,s,\"a\r\nb\r\"\r\n", {{"1", "d", "s", "a\r\nb\r"}}},
        {"lone carriage return", "1,d,s,a\rb\n", {{"1", "d", "s", "a\rb"}}},
        {"last record without line feed", "1,d\n2,e", {{"1", "d"}, {"2", "e"}}},
        {"blank records", "\n  \t\n1,d\n\r\n \r\n", {{"1", "d"}}},
        {"empty fields", "1,,,\n", {{"1", "", "", ""}}},
        {"one field", "7\n", {{"7"}}},
        {"nothing", "", {}},
    };
    for (const Case& c : cases) {
        std::vector<Fields> fields;
        for (const CsvRecord& record : split_snapper_csv(c.output)) {
            fields.push_back(record.fields);
        }
        EXPECT_EQ(fields, c.records) << c.name;
    }
}

TEST(SnapperCsv, RecordTextIsTheRowAsPrinted) {
    const auto records = split_snapper_csv("1,d,s,\"a\nb\"\r\n 2 ,e");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "1,d,s,\"a\nb\"");
    EXPECT_EQ(records[1].text, " 2 ,e");
}

TEST(SnapperCsv, OutputEndingInsideQuotesFails) {
    for (const std::string output :
         {"1,d,s,\"open\n2,e,s,x\n", "1,d,s,\"\"\"\n", "1,d,s,\"never closed"}) {
        EXPECT_EQ(testing::error_of([&] { (void)split_snapper_csv(output); }),
                  "unterminated quoted Snapper CSV field")
            << output;
    }
}

}  // namespace
}  // namespace snapwright::provider::snapper
