#include <algorithm>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "base/app_error.hpp"
#include "fuzz_check.hpp"

using namespace snapwright;

// The input is the argument vector, one argument per NUL-terminated piece.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\0', start), text.size());
        arguments.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    try {
        const app::CommandLine line = app::parse_command_line(arguments);
        fuzz::check(!line.command.debounce || line.command.kind == app::Command::Kind::Generate,
                    "--debounce only with generate");
        // The command word of the result means the same when given alone.
        std::vector<std::string> again{app::command_word(line.command.kind)};
        if (line.command.debounce)
            again.emplace_back("--debounce");
        fuzz::check(app::parse_command_line(again).command == line.command,
                    "the command word parses back to the same command");
    } catch (const base::AppError&) {
    }
    return 0;
}
