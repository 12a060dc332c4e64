#include "base/plain_json.hpp"

#include <string>

#include <gtest/gtest.h>

namespace snapwright::base {
namespace {

using Json = nlohmann::ordered_json;

// Equal values of equal types all the way down, members in the same order.
bool same_document(const Json& a, const Json& b) {
    if (a.type() != b.type()) {
        return false;
    }
    if (a.is_object()) {
        if (a.size() != b.size()) {
            return false;
        }
        for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
            if (x.key() != y.key() || !same_document(x.value(), y.value())) {
                return false;
            }
        }
        return true;
    }
    if (a.is_array()) {
        if (a.size() != b.size()) {
            return false;
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!same_document(a[i], b[i])) {
                return false;
            }
        }
        return true;
    }
    return a == b;
}

TEST(PlainJson, ReadsWhatTheFullReaderReadsOrGivesUp) {
    const std::string deep = std::string(64, '[') + std::string(64, ']');
    const std::string too_deep = std::string(65, '[') + std::string(65, ']');
    struct Case {
        std::string text;
        bool plain;
    };
    const Case cases[] = {
        {R"( {"b": 1, "a": [true, false, null], "": {}, "e": [], "s": "x\"\\\/\b\f\n\r\ty"} )",
         true},
        {"0", true},
        {"-0", true},
        {"18446744073709551615", true},
        {"-9223372036854775808", true},
        {"[1,-2,\"\"]", true},
        {deep, true},
        // Valid, but left to the full reader.
        {"18446744073709551616", false},
        {"-9223372036854775809", false},
        {"1.5", false},
        {"1e3", false},
        {R"("\u00e9")", false},
        {"\"\xc3\xa9\"", false},
        {"\xef\xbb\xbf{}", false},
        {R"({"a": 1, "a": 2})", false},
        {too_deep, false},
        // Not JSON at all.
        {"", false},
        {"01", false},
        {"-", false},
        {"[1,]", false},
        {R"({"a":1,})", false},
        {"{} {}", false},
        {"tru", false},
        {"nulls", false},
        {"\"a\tb\"", false},
        {"\"open", false},
        {R"("\x")", false},
        {"[1 2]", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<Json> plain = parse_plain_json(c.text);
        ASSERT_EQ(plain.has_value(), c.plain);
        if (plain) {
            EXPECT_TRUE(same_document(*plain, Json::parse(c.text)));
        }
    }
}

}  // namespace
}  // namespace snapwright::base
