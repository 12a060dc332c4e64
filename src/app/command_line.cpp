#include "app/command_line.hpp"

#include <array>
#include <optional>
#include <string_view>

#include "base/app_error.hpp"
#include "base/system_paths.hpp"
#include "base/text.hpp"

namespace snapwright::app {
namespace {

constexpr std::array kAllKinds{
    Command::Kind::Generate, Command::Kind::Status, Command::Kind::Verify, Command::Kind::Gc,
    Command::Kind::Watch,    Command::Kind::Help,   Command::Kind::Version};

constexpr const char* kRestoreWord = "restore";
constexpr const char* kRestoreRefused = "snapwright does not restore or roll back snapshots";
constexpr const char* kInvalidCommand = "invalid command or arguments";

std::optional<Command::Kind> kind_of_word(std::string_view word) {
    for (const Command::Kind kind : kAllKinds) {
        if (word == command_word(kind)) {
            return kind;
        }
    }
    return std::nullopt;
}

Command resolve_command(const std::vector<std::string>& words, bool debounce) {
    if (words.empty()) {
        return Command{Command::Kind::Generate, debounce};
    }
    if (words.front() == kRestoreWord) {
        base::throw_error(kRestoreRefused);
    }
    if (words.size() > 1) {
        base::throw_error(kInvalidCommand);
    }
    const std::optional<Command::Kind> kind = kind_of_word(words.front());
    if (!kind) {
        base::throw_error(kInvalidCommand);
    }
    if (*kind == Command::Kind::Generate) {
        return Command{Command::Kind::Generate, debounce};
    }
    if (debounce) {
        base::throw_error(kInvalidCommand);
    }
    return Command{*kind, false};
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& arguments) {
    CommandLine result;
    bool debounce = false;
    std::vector<std::string> words;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string decoded = base::lossy_utf8(arguments[i]);
        if (decoded == "-h" || decoded == "--help") {
            words.emplace_back("help");
        } else if (decoded == "-V" || decoded == "--version") {
            words.emplace_back("version");
        } else if (decoded == "--config") {
            if (i + 1 == arguments.size()) {
                base::throw_error("--config requires a path");
            }
            // Taken whatever it looks like, so a path that starts with "-" still works.
            result.config_path = std::filesystem::path(arguments[++i]);
        } else if (decoded == "--debounce") {
            debounce = true;
        } else if (!decoded.empty() && decoded.front() == '-') {
            base::throw_error("unknown option: " + decoded);
        } else {
            words.push_back(decoded);
        }
    }

    result.command = resolve_command(words, debounce);
    return result;
}

const char* command_word(Command::Kind kind) {
    switch (kind) {
        case Command::Kind::Generate:
            return "generate";
        case Command::Kind::Status:
            return "status";
        case Command::Kind::Verify:
            return "verify";
        case Command::Kind::Gc:
            return "gc";
        case Command::Kind::Watch:
            return "watch";
        case Command::Kind::Help:
            return "help";
        case Command::Kind::Version:
            return "version";
    }
    return "generate";
}

}  // namespace snapwright::app
