#include "support/snapper_sandbox.hpp"
#include "support/files.hpp"

#include <unistd.h>

#include <stdexcept>

namespace snapwright::testing {
namespace {

// Follows a line "real=<program>".
constexpr const char* kWrapperBody = R"(
# Older Snapper (0.10.4 of Debian 12) has no --no-headers: drop the option and, when it was
# given, the header line that such a Snapper prints instead.
set -o pipefail
arguments=()
headers=yes
for argument in "$@"; do
    if [ "$argument" = --no-headers ]; then
        headers=no
    else
        arguments+=("$argument")
    fi
done
if [ "$headers" = yes ]; then
    exec "$real" "${arguments[@]}"
fi
"$real" "${arguments[@]}" | sed 1d
)";

// The chroot's usual PATH, to which the wrapper directory is put in front.
constexpr const char* kChrootPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

ProgramResult run_snapper(const Sandbox& sandbox, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{kRealSnapper, "--no-dbus"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProgramResult result = sandbox.run(argv);
    if (result.exit_code != 0) {
        std::string command;
        for (const auto& argument : argv) {
            command += (command.empty() ? "" : " ") + argument;
        }
        throw std::runtime_error(command + " failed: " + describe(result));
    }
    return result;
}

}  // namespace

std::optional<std::string> snapper_unavailable_reason() {
    if (::access(kRealSnapper, X_OK) != 0) {
        return std::string(kRealSnapper) + " is not installed (Debian package snapper)";
    }
    return std::nullopt;
}

std::string install_snapper_wrapper(Sandbox& sandbox) {
    write_file(sandbox.in_root(std::string(kSnapperWrapperDirectory) + "/snapper"),
               std::string("#!/bin/bash\nreal=") + kRealSnapper + kWrapperBody, 0755);
    return std::string("PATH=") + kSnapperWrapperDirectory + ":" + kChrootPath;
}

void create_snapper_config(const Sandbox& sandbox, const std::string& config) {
    // Debian's snapper keeps its list of configurations in /etc/default/snapper and refuses to
    // add one when that file is missing; the package would have installed it empty.
    const fs::path list = sandbox.in_root("/etc/default/snapper");
    if (!fs::exists(list)) {
        write_file(list, "SNAPPER_CONFIGS=\"\"\n");
    }
    fs::create_directories(sandbox.in_root("/etc/snapper/configs"));
    (void)run_snapper(sandbox, {"--config", config, "create-config", "/"});
}

int create_snapper_snapshot(const Sandbox& sandbox, std::string_view description,
                            const std::string& config) {
    const ProgramResult result =
        run_snapper(sandbox, {"--config", config, "create", "--type", "single", "--print-number",
                              "--description", std::string(description)});
    try {
        return std::stoi(result.out);
    } catch (const std::exception&) {
        throw std::runtime_error("snapper create printed no number: " + describe(result));
    }
}

std::string set_up_snapper(Sandbox& sandbox, const std::string& config) {
    std::string path = install_snapper_wrapper(sandbox);
    create_snapper_config(sandbox, config);
    return path;
}

}  // namespace snapwright::testing
