#include "app/dispatcher.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>
#include <utility>

#include "app/context_builder.hpp"
#include "app/gc_command.hpp"
#include "app/generate_command.hpp"
#include "app/help.hpp"
#include "app/output.hpp"
#include "app/status_command.hpp"
#include "app/verify_command.hpp"
#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/system_paths.hpp"
#include "config/config.hpp"
#include "config/load_config.hpp"
#include "generation/run_context.hpp"
#include "system/elevate.hpp"
#include "triggers/watch_mode.hpp"

namespace snapwright::app {
namespace {

// What a command needs before its body runs.
enum class Access {
    // Help and version must work anywhere, even where the configuration or the system is
    // broken: no configuration, no privilege check, no context.
    None,
    // Runs with the caller's identity.
    Read,
    // Changes the archive or the boot partition: runs as root, elevating an ordinary user.
    Write,
};

using StandaloneHandler = void (*)();
using Handler = void (*)(const Command&, const generation::RunContext&);

struct CommandEntry {
    Command::Kind kind;
    Access access;
    StandaloneHandler standalone;  // for Access::None
    Handler handler;               // for the others
};

void run_help() {
    write_stdout(help_text());
}

void run_version() {
    write_stdout(version_text());
}

void status(const Command&, const generation::RunContext& context) {
    run_status(context);
}

void watch(const Command&, const generation::RunContext& context) {
    triggers::run_watch(context);
}

constexpr std::array<CommandEntry, 7> kCommands{{
    {Command::Kind::Help, Access::None, run_help, nullptr},
    {Command::Kind::Version, Access::None, run_version, nullptr},
    {Command::Kind::Generate, Access::Write, nullptr, run_generate_command},
    {Command::Kind::Status, Access::Read, nullptr, status},
    {Command::Kind::Verify, Access::Read, nullptr, run_verify_command},
    {Command::Kind::Gc, Access::Write, nullptr, run_gc_command},
    {Command::Kind::Watch, Access::Write, nullptr, watch},
}};

// An ordinary user's write command is re-executed as root with the same arguments. Only the
// default configuration may be used that way: root would otherwise act on a file the user
// chose; this is refused before the configuration is read.
void check_elevated_config(const CommandLine& command_line) {
    if (::geteuid() != 0 && !base::same_path(command_line.config_path, base::kDefaultConfigPath)) {
        base::throw_error(
            "a custom --config path may only be used for write commands when already root");
    }
}

// The configuration is loaded before this, so that its error is reported without asking for a
// password.
void become_root(const config::Config& config, const std::vector<std::string>& raw_arguments) {
    if (::geteuid() != 0) {
        system::elevate(config.auth_method, raw_arguments);
    }
}

}  // namespace

void run_command(const CommandLine& command_line, const std::vector<std::string>& raw_arguments) {
    for (const CommandEntry& entry : kCommands) {
        if (entry.kind != command_line.command.kind) {
            continue;
        }
        if (entry.access == Access::None) {
            entry.standalone();
            return;
        }
        if (entry.access == Access::Write) {
            check_elevated_config(command_line);
        }
        // Loaded once per process: the same value decides the elevation and builds the context.
        config::Config config = config::load_config(command_line.config_path);
        if (entry.access == Access::Write) {
            become_root(config, raw_arguments);
            // Root's files must not become writable by others because of the umask the
            // program was started with (a service's UMask=0000, a helper that keeps the
            // caller's): every directory it creates is then 0755.
            (void)::umask(022);
        }
        const generation::RunContext context = build_run_context(std::move(config));
        entry.handler(command_line.command, context);
        return;
    }
    base::throw_error("invalid command or arguments");
}

}  // namespace snapwright::app
