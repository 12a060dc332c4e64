#include "triggers/snapper_plugin.hpp"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "triggers/own_executable.hpp"

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

TEST(OwnExecutable, AReplacedExecutableIsFoundAtItsPath) {
    const auto is = [](const std::string& wanted) {
        return [wanted](const std::string& path) { return path == wanted; };
    };
    const auto nothing = [](const std::string&) { return false; };
    const std::string deleted = "/usr/bin/snapwright (deleted)";
    EXPECT_EQ(executable_from_link(deleted, nothing, is("/usr/bin/snapwright")),
              "/usr/bin/snapwright");
    // Nothing at the path yet: the kernel's text stays, and starting it fails visibly.
    EXPECT_EQ(executable_from_link(deleted, nothing, nothing), deleted);
    // A file that really has that name and is the one running.
    EXPECT_EQ(executable_from_link(deleted, is(deleted), is("/usr/bin/snapwright")), deleted);
    EXPECT_EQ(executable_from_link("/usr/bin/snapwright", nothing, nothing), "/usr/bin/snapwright");
}

}  // namespace
}  // namespace snapwright::triggers
