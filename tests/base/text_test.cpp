#include "base/text.hpp"

#include <string>

#include <gtest/gtest.h>

namespace snapwright::base {
namespace {

TEST(Text, TrimDropsUnicodeSpaceAtBothEndsOnly) {
    struct Case {
        std::string text;
        std::string trimmed;
    };
    const Case cases[] = {
        {" \t a  b \r\n", "a  b"},
        {"   ", ""},
        {"", ""},
        {"\u3000\u00a0x\u2028 \u00a0", "x"},
        {"\u00e9 ", "\u00e9"},
        {" \u00e9\u3000b\u00a0", "\u00e9\u3000b"},
        // Invalid bytes are characters that are not space.
        {" a\xff ", "a\xff"},
        {"\xe2\x80 ", "\xe2\x80"},
        {"\xc2 \xa0", "\xc2 \xa0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(trim(c.text), c.trimmed);
    }
}

}  // namespace
}  // namespace snapwright::base
