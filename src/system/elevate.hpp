#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace snapwright::system {

// What replaces the process: the helper program and the arguments that follow it.
struct ElevationCommand {
    std::string program;
    std::vector<std::string> arguments;

    bool operator==(const ElevationCommand&) const = default;
};

// The privilege helper and its leading arguments: AUTH_METHOD split at white space when it holds
// a word (used unchanged, not looked up), else "sudo" or, failing that, "doas" when
// `is_installed` finds it; else "root privileges are required; install sudo/doas or run as
// root".
std::vector<std::string> privilege_helper_words(
    const std::optional<std::string>& auth_method,
    const std::function<bool(const std::string&)>& is_installed);

// `helper_words` must not be empty. The helper's first word as program, then its other words, the
// executable path and every raw argument, in order and byte for byte.
ElevationCommand elevation_command(const std::vector<std::string>& helper_words,
                                   const std::string& executable,
                                   const std::vector<std::string>& raw_arguments);

// Re-executes this program as root through the privilege helper, whatever the current user.
// Never returns on success. Fails with the missing-helper message, "locate snapwright executable"
// or "execute privilege helper {}" (the helper word), each with the OS error where there is one.
void reexecute_as_root(const std::optional<std::string>& auth_method,
                       const std::vector<std::string>& raw_arguments);

// Returns at once when the effective user is root; otherwise reexecute_as_root. `raw_arguments`
// are the program's arguments after its name, unparsed.
void elevate(const std::optional<std::string>& auth_method,
             const std::vector<std::string>& raw_arguments);

}  // namespace snapwright::system
