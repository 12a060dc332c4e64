#include "triggers/snapper_plugin.hpp"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace snapwright::triggers {
namespace {

TEST(SnapperPlugin, EventsForTheRootSubvolumeOnly) {
    const ScheduleRequest now{.debounce = false, .synchronous = true};
    const ScheduleRequest later{.debounce = true, .synchronous = false};
    struct Case {
        std::vector<std::string> arguments;
        std::optional<ScheduleRequest> expected;
    };
    const Case cases[] = {
        {{"create-snapshot-post", "/", "btrfs", "5"}, now},
        {{"create-snapshot-post", "/"}, now},
        {{"delete-snapshot-post", "/", "btrfs", "5"}, later},
        {{"modify-snapshot-post", "/", "btrfs", "5"}, later},
        {{"create-snapshot-pre", "/", "btrfs", "5"}, std::nullopt},
        {{"delete-snapshot-pre", "/", "btrfs", "5"}, std::nullopt},
        // The names older Snapper releases use start nothing.
        {{"create-snapshot", "/", "btrfs", "5"}, std::nullopt},
        {{"delete-snapshot", "/", "btrfs", "5"}, std::nullopt},
        {{"modify-snapshot", "/", "btrfs", "5"}, std::nullopt},
        {{"create-snapshot-post", "/home", "btrfs", "5"}, std::nullopt},
        {{"create-snapshot-post", "//"}, std::nullopt},
        {{"Create-Snapshot-Post", "/"}, std::nullopt},
        {{"create-snapshot-post"}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string shown = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(plugin_request(c.arguments), c.expected) << shown;
    }
}

}  // namespace
}  // namespace snapwright::triggers
