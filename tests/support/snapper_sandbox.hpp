#pragma once

// Snapper on a sandbox machine: the real snapper of the host (the chroot shares its /usr), a
// configuration made by Snapper itself, and a wrapper first on PATH that gives older Snapper
// versions the `--no-headers` option that snapwright passes.

#include <optional>
#include <string>
#include <string_view>

#include "support/sandbox.hpp"

namespace snapwright::testing {

// The real program, as the chroot sees it.
inline constexpr const char* kRealSnapper = "/usr/bin/snapper";
// Where install_snapper_wrapper puts its `snapper` inside the chroot.
inline constexpr const char* kSnapperWrapperDirectory = "/opt/snapwright-test/snapper-wrapper";

// Why Snapper cannot run in a sandbox (not installed), or nothing.
std::optional<std::string> snapper_unavailable_reason();

#define SKIP_WITHOUT_SNAPPER()                                        \
    do {                                                              \
        if (auto reason = snapper_unavailable_reason()) {             \
            GTEST_SKIP() << "no Snapper in the sandbox: " << *reason; \
        }                                                             \
    } while (false)

// Installs a `snapper` wrapper in kSnapperWrapperDirectory: it drops the option
// "--no-headers" and, when that option was given, the first line of the output (the CSV header
// that older Snapper, such as 0.10.4 of Debian 12, always prints), then runs the real snapper with
// everything else unchanged and returns its exit status. Returns the environment entry "PATH=..."
// that puts the wrapper first; pass it to Sandbox::run for every program that should reach Snapper.
std::string install_snapper_wrapper(Sandbox& sandbox);

// Creates the Snapper configuration `config` for "/" with the real
// `snapper --no-dbus --config <config> create-config /`, which writes
// /etc/snapper/configs/<config>, lists it in /etc/default/snapper and makes the subvolume
// "@/.snapshots". Throws std::runtime_error with Snapper's output when it fails.
void create_snapper_config(const Sandbox& sandbox, const std::string& config = "root");

// Takes a snapshot of "/" with the real `snapper --no-dbus create` (type single) and returns its
// number; the snapshot is "@/.snapshots/<number>/snapshot" below the top level. Throws
// std::runtime_error with Snapper's output when it fails.
int create_snapper_snapshot(const Sandbox& sandbox, std::string_view description,
                            const std::string& config = "root");

// Both of the above in one: the wrapper installed and the configuration created; returns the
// PATH entry of install_snapper_wrapper.
std::string set_up_snapper(Sandbox& sandbox, const std::string& config = "root");

}  // namespace snapwright::testing
