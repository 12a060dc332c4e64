#include "provider/snapshot_properties.hpp"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace snapwright::provider {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairs_of(const SnapshotProperties& properties) {
    Pairs pairs;
    for (const auto& [name, value] : properties) {
        pairs.emplace_back(name, value);
    }
    return pairs;
}

// Whatever the values hold (a NUL, a length past one varint byte), they read back as a std::map
// built from the same pairs would: sorted by name as bytes, the first of one name kept.
TEST(SnapshotProperties, BehavesAsAMapOfStrings) {
    const std::string long_value(300, 'x');
    const std::string with_nul("a\0b", 3);
    const SnapshotProperties properties{
        {"uuid", "u-1"}, {"path", long_value}, {"type", with_nul}, {"uuid", "second"}, {"", ""}};
    const std::map<std::string, std::string> expected{
        {"uuid", "u-1"}, {"path", long_value}, {"type", with_nul}, {"", ""}};
    EXPECT_EQ(pairs_of(properties), Pairs(expected.begin(), expected.end()));
    EXPECT_EQ(properties, SnapshotProperties(expected));
    EXPECT_EQ(properties.size(), 4U);
    EXPECT_EQ(properties.at("path"), long_value);
    EXPECT_EQ(properties.find("missing"), properties.end());
    EXPECT_THROW((void)properties.at("missing"), std::out_of_range);
    EXPECT_TRUE(SnapshotProperties().empty());
}

TEST(SnapshotProperties, SetAndEraseKeepTheOrder) {
    SnapshotProperties properties{{"b", "2"}};
    properties.set("c", "3");
    properties.set("a", "1");
    properties.set("b", "two");
    EXPECT_EQ(pairs_of(properties), (Pairs{{"a", "1"}, {"b", "two"}, {"c", "3"}}));
    EXPECT_EQ(properties.erase("b"), 1U);
    EXPECT_EQ(properties.erase("b"), 0U);
    EXPECT_EQ(properties, (SnapshotProperties{{"c", "3"}, {"a", "1"}}));
}

}  // namespace
}  // namespace snapwright::provider
