#include "app/dispatcher.hpp"

#include <array>

#include "app/help.hpp"
#include "app/output.hpp"
#include "base/app_error.hpp"
#include "base/system_paths.hpp"

namespace snapwright::app {
namespace {

using Handler = void (*)(const CommandLine&);

struct CommandEntry {
    Command::Kind kind;
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
    {Command::Kind::Help, run_help},
    {Command::Kind::Version, run_version},
    {Command::Kind::Generate, run_unimplemented},
    {Command::Kind::Status, run_unimplemented},
    {Command::Kind::Verify, run_unimplemented},
    {Command::Kind::Gc, run_unimplemented},
    {Command::Kind::Watch, run_unimplemented},
}};

}  // namespace

void run_command(const CommandLine& command_line, const std::vector<std::string>&) {
    for (const CommandEntry& entry : kCommands) {
        if (entry.kind == command_line.command.kind) {
            entry.handler(command_line);
            return;
        }
    }
    base::throw_error("invalid command or arguments");
}

}  // namespace snapwright::app
