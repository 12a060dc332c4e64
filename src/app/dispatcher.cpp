#include "app/dispatcher.hpp"

#include <array>
#include <string>

#include "app/help.hpp"
#include "app/output.hpp"
#include "base/app_error.hpp"
#include "base/system_paths.hpp"
#include "config/config.hpp"
#include "system/mount_table.hpp"

namespace snapwright::app {
namespace {

using Handler = void (*)(const CommandLine&);

struct CommandEntry {
    Command::Kind kind;
    // Help and version must work anywhere, even where the configuration or the system is
    // broken, so only the other commands prepare a run first.
    bool needs_system;
    Handler handler;
};

void run_help(const CommandLine&) {
    write_stdout(help_text());
}

void run_version(const CommandLine&) {
    write_stdout(version_text());
}

void run_unimplemented(const CommandLine& command_line) {
    base::throw_error(std::string(base::kProgramName) + " " +
                      command_word(command_line.command.kind) + " is not implemented yet");
}

constexpr std::array<CommandEntry, 7> kCommands{{
    {Command::Kind::Help, false, run_help},
    {Command::Kind::Version, false, run_version},
    {Command::Kind::Generate, true, run_unimplemented},
    {Command::Kind::Status, true, run_unimplemented},
    {Command::Kind::Verify, true, run_unimplemented},
    {Command::Kind::Gc, true, run_unimplemented},
    {Command::Kind::Watch, true, run_unimplemented},
}};

// The checks every working command starts with: a configuration error is reported before
// anything about the system, and nothing runs on a root filesystem that is not Btrfs.
void prepare_run(const CommandLine& command_line) {
    (void)config::load_config(command_line.config_path);
    const system::MountTable table = system::read_mount_table();
    if (system::root_filesystem_type(table) != "btrfs") {
        base::throw_error("the root filesystem is not Btrfs");
    }
}

}  // namespace

void run_command(const CommandLine& command_line, const std::vector<std::string>&) {
    for (const CommandEntry& entry : kCommands) {
        if (entry.kind == command_line.command.kind) {
            if (entry.needs_system) {
                prepare_run(command_line);
            }
            entry.handler(command_line);
            return;
        }
    }
    base::throw_error("invalid command or arguments");
}

}  // namespace snapwright::app
