#include "system/elevate.hpp"

#include <unistd.h>

#include "base/app_error.hpp"
#include "base/text.hpp"
#include "system/executable_link.hpp"
#include "system/process.hpp"

namespace snapwright::system {

std::vector<std::string> privilege_helper_words(
    const std::optional<std::string>& auth_method,
    const std::function<bool(const std::string&)>& is_installed) {
    if (auth_method) {
        std::vector<std::string> words;
        for (const std::string_view word : base::split_unicode_whitespace(*auth_method)) {
            words.emplace_back(word);
        }
        if (!words.empty()) {
            return words;
        }
    }
    for (const char* helper : {"sudo", "doas"}) {
        if (is_installed(helper)) {
            return {helper};
        }
    }
    base::throw_error("root privileges are required; install sudo/doas or run as root");
}

ElevationCommand elevation_command(const std::vector<std::string>& helper_words,
                                   const std::string& executable,
                                   const std::vector<std::string>& raw_arguments) {
    ElevationCommand command{helper_words.front(), {helper_words.begin() + 1, helper_words.end()}};
    command.arguments.push_back(executable);
    command.arguments.insert(command.arguments.end(), raw_arguments.begin(), raw_arguments.end());
    return command;
}

void reexecute_as_root(const std::optional<std::string>& auth_method,
                       const std::vector<std::string>& raw_arguments) {
    const std::vector<std::string> helper = privilege_helper_words(auth_method, find_executable);
    const ElevationCommand command =
        elevation_command(helper, read_executable_link(), raw_arguments);
    const int error = replace_process(command.program, command.arguments);
    base::throw_os_error("execute privilege helper " + command.program, error);
}

void elevate(const std::optional<std::string>& auth_method,
             const std::vector<std::string>& raw_arguments) {
    if (::geteuid() == 0) {
        return;
    }
    reexecute_as_root(auth_method, raw_arguments);
}

}  // namespace snapwright::system
