#pragma once

// Warnings and advice on standard error about traps a run can see but not mend itself: a
// snapshot entry that systemd-boot boots by default, manifests of this machine that a changed
// operating-system name keeps from being deployed, read-only snapshots booted without a volatile
// state. They change no report on standard output and no exit status; a fact that cannot be read
// only means no warning.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "bootloader/default_entry.hpp"
#include "generation/run_context.hpp"
#include "manifest/schema.hpp"
#include "system/mount_table.hpp"

namespace snapwright::app {

// The warning when `chosen`, the default entry of systemd-boot's menu, is a snapshot entry
// this program wrote (by its name or marker line in `text`); none otherwise. `loader_conf` is
// the file whose `default` would mend it.
[[nodiscard]] std::optional<std::string> default_entry_warning(
    const bootloader::MenuEntry& chosen, std::string_view text, bootloader::DefaultSource source,
    const std::filesystem::path& loader_conf);

// Reads loader.conf below the boot root, the loader's EFI variables (where their directory
// exists) and every entry of the entry directory, and answers default_entry_warning for
// systemd-boot's default choice among them. No warning when what chooses the default names an
// entry the loader makes itself or a unified kernel image in EFI/Linux.
[[nodiscard]] std::optional<std::string> check_default_entry(const generation::RunContext& context);

// The warning about the manifests of this machine recorded under other operating-system names
// (counted by report::other_os_manifests), with the TARGET_OS_NAME line that would deploy the
// most of them; none when there are none.
[[nodiscard]] std::optional<std::string> other_os_warning(
    const std::map<std::string, std::uint64_t>& other_names, std::string_view os_name);

// Whether kernel parameters carry a systemd.volatile setting of any value.
[[nodiscard]] bool has_volatile_setting(std::string_view kernel_parameters);

// The advice for `read_only_snapshots` deployed read-only snapshots when `kernel_parameters`
// (SNAPSHOT_KERNEL_PARAMETERS) has no volatile setting; none otherwise.
[[nodiscard]] std::optional<std::string> volatile_advice(std::uint64_t read_only_snapshots,
                                                         std::string_view kernel_parameters);

// Writes one line, newline added, to standard error. A failure to write is ignored: advice must
// not fail the command.
void print_warning(std::string_view line);

}  // namespace snapwright::app
