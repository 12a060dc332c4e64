#include "app/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/error_of.hpp"

namespace snapwright::app {
namespace {

using Args = std::vector<std::string>;
using Kind = Command::Kind;

struct AcceptedCase {
    Args arguments;
    Command expected;
};

TEST(ParseCommandLine, AcceptsEveryCommandForm) {
    const std::vector<AcceptedCase> cases = {
        {{}, {Kind::Generate, false}},
        {{"--debounce"}, {Kind::Generate, true}},
        {{"generate"}, {Kind::Generate, false}},
        {{"generate", "--debounce"}, {Kind::Generate, true}},
        {{"--debounce", "generate"}, {Kind::Generate, true}},
        {{"--debounce", "generate", "--debounce"}, {Kind::Generate, true}},
        {{"status"}, {Kind::Status, false}},
        {{"verify"}, {Kind::Verify, false}},
        {{"gc"}, {Kind::Gc, false}},
        {{"watch"}, {Kind::Watch, false}},
        {{"help"}, {Kind::Help, false}},
        {{"-h"}, {Kind::Help, false}},
        {{"--help"}, {Kind::Help, false}},
        {{"version"}, {Kind::Version, false}},
        {{"-V"}, {Kind::Version, false}},
        {{"--version"}, {Kind::Version, false}},
        {{"--config", "/x.conf", "status"}, {Kind::Status, false}},
        {{"status", "--config", "/x.conf"}, {Kind::Status, false}},
        // "--debounce" consumed as the configuration path does not set debounce.
        {{"--config", "--debounce"}, {Kind::Generate, false}},
        {{"--config", "--debounce", "status"}, {Kind::Status, false}},
    };
    for (const AcceptedCase& c : cases) {
        const std::string shown = ::testing::PrintToString(c.arguments);
        const CommandLine parsed = parse_command_line(c.arguments);
        EXPECT_EQ(parsed.command.kind, c.expected.kind) << shown;
        EXPECT_EQ(parsed.command.debounce, c.expected.debounce) << shown;
    }
}

struct RejectedCase {
    Args arguments;
    std::string message;
};

TEST(ParseCommandLine, RejectsWithExactMessage) {
    const std::string invalid = "invalid command or arguments";
    const std::string restore = "snapwright does not restore or roll back snapshots";
    const std::vector<RejectedCase> cases = {
        {{""}, invalid},
        {{"Status"}, invalid},
        {{"frobnicate"}, invalid},
        {{"status", "--debounce"}, invalid},
        {{"--debounce", "verify"}, invalid},
        {{"gc", "--debounce"}, invalid},
        {{"watch", "--debounce"}, invalid},
        {{"help", "--debounce"}, invalid},
        {{"--version", "--debounce"}, invalid},
        {{"status", "verify"}, invalid},
        {{"status", "--help"}, invalid},
        {{"--help", "generate"}, invalid},
        {{"-h", "-V"}, invalid},
        {{"status", ""}, invalid},
        {{"status", "restore"}, invalid},
        {{"restore"}, restore},
        {{"restore", "--debounce"}, restore},
        {{"restore", "1", "2"}, restore},
        {{"restore", "status"}, restore},
        {{"--config"}, "--config requires a path"},
        {{"status", "--config"}, "--config requires a path"},
        {{"--config", "/a", "--config"}, "--config requires a path"},
        {{"-"}, "unknown option: -"},
        {{"--"}, "unknown option: --"},
        {{"-x"}, "unknown option: -x"},
        {{"--Help"}, "unknown option: --Help"},
        {{"--config=/x"}, "unknown option: --config=/x"},
        {{"status", "--verbose"}, "unknown option: --verbose"},
        // The scan stops at the first error, so a later problem is never seen.
        {{"-q", "--config"}, "unknown option: -q"},
        {{"restore", "-q"}, "unknown option: -q"},
        {{"--bad\xff"}, "unknown option: --bad\xEF\xBF\xBD"},
    };
    for (const RejectedCase& c : cases) {
        const std::string shown = ::testing::PrintToString(c.arguments);
        EXPECT_EQ(testing::error_of([&] { (void)parse_command_line(c.arguments); }), c.message)
            << shown;
    }
}

TEST(ParseCommandLine, ConfigPath) {
    EXPECT_EQ(parse_command_line({}).config_path, "/etc/snapwright.conf");
    EXPECT_EQ(parse_command_line({"--config", "/a.conf"}).config_path, "/a.conf");
    EXPECT_EQ(parse_command_line({"--config", "/a", "--config", "/b"}).config_path, "/b");
    EXPECT_EQ(parse_command_line({"--config", "-h"}).config_path, "-h");
    EXPECT_EQ(parse_command_line({"--config", ""}).config_path, "");
    // The path keeps its raw bytes; only matching uses the decoded form.
    EXPECT_EQ(parse_command_line({"--config", "/etc/\xff.conf"}).config_path.native(),
              "/etc/\xff.conf");
}

}  // namespace
}  // namespace snapwright::app
