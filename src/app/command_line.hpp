#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/system_paths.hpp"

namespace snapwright::app {

// What the user asked for. `debounce` is only ever set for `Generate`.
struct Command {
    enum class Kind { Generate, Status, Verify, Gc, Watch, Help, Version };

    Kind kind = Kind::Generate;
    bool debounce = false;

    bool operator==(const Command&) const = default;
};

// The parsed invocation. `config_path` holds the raw bytes of the "--config" argument, never
// re-encoded, so a file name that is not valid UTF-8 still names the right file.
struct CommandLine {
    std::filesystem::path config_path = base::kDefaultConfigPath;
    Command command;

    bool operator==(const CommandLine&) const = default;
};

// Parses the arguments after the program name (raw bytes). Options are matched after lossy
// UTF-8 decoding; "-h"/"--help" and "-V"/"--version" become the positional words "help" and
// "version", so they cannot be combined with a command word. At most one command word is
// accepted and "--debounce" only with `generate` (or alone). No I/O. Throws AppError:
// "--config requires a path", "unknown option: {}",
// "snapwright does not restore or roll back snapshots", "invalid command or arguments".
[[nodiscard]] CommandLine parse_command_line(const std::vector<std::string>& arguments);

// The command word that selects `kind` ("generate", "status", ...).
const char* command_word(Command::Kind kind);

}  // namespace snapwright::app
