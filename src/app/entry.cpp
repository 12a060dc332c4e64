#include "app/entry.hpp"

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "app/dispatcher.hpp"
#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/system_paths.hpp"
#include "base/text.hpp"
#include "triggers/snapper_plugin.hpp"

namespace snapwright::app {
namespace {

void report_failure(const std::string& text) {
    // One write, so the line cannot interleave with another process's output.
    const std::string line = std::string(base::kProgramName) + ": " + text + "\n";
    std::fflush(stdout);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void run(std::string_view invocation_name, const std::vector<std::string>& arguments) {
    if (is_plugin_invocation(invocation_name)) {
        triggers::run_snapper_plugin(arguments);
        return;
    }
    run_command(parse_command_line(arguments), arguments);
}

}  // namespace

bool is_plugin_invocation(std::string_view invocation_name) {
    const std::vector<std::string> components =
        base::path_components(std::filesystem::path(std::string(invocation_name)));
    if (components.empty()) {
        return false;
    }
    const std::string& last = components.back();
    if (last == "/" || last == "..") {
        return false;
    }
    return base::is_valid_utf8(last) && last == base::kPluginName;
}

int run_main(int argc, char** argv) {
    // A reader that goes away early must not kill the process halfway: the failed write
    // reports EPIPE like any other output failure. Children get the default action back.
    (void)std::signal(SIGPIPE, SIG_IGN);
    try {
        const std::string invocation_name =
            argc > 0 && argv[0] != nullptr ? argv[0] : base::kProgramName;
        std::vector<std::string> arguments;
        for (int i = 1; i < argc; ++i) {
            arguments.emplace_back(argv[i]);
        }
        run(invocation_name, arguments);
        return 0;
    } catch (const base::AppError& error) {
        report_failure(error.display());
    } catch (const std::exception& error) {
        report_failure(error.what());
    } catch (...) {
        report_failure("unexpected failure");
    }
    return 1;
}

}  // namespace snapwright::app
