#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bootloader/entry_parser.hpp"
#include "bootloader/unified_kernel_image.hpp"
#include "store/object_id.hpp"
#include "system/root_device.hpp"

namespace snapwright::bootloader {

// The unified kernel image a profile is unpacked from.
struct UkiOrigin {
    std::string location;  // from the boot root
    FileIdentity identity;
    UkiSections sections;

    bool operator==(const UkiOrigin&) const = default;
};

// What one ordinary entry (or unified kernel image) of the running system contributes to a
// snapshot's boot profiles.
struct SourceProfile {
    std::string name;
    std::string protocol;
    std::string kernel;  // the linux path as written in the entry
    std::vector<std::pair<std::string, store::AssetKind>> modules;
    std::string cmdline;
    // "sort-key" and "architecture", each with the entry's single value, when present.
    std::map<std::string, std::vector<std::string>> options;
    // Set for a profile unpacked from a unified kernel image: `kernel` is then ".linux" and the
    // modules name the image's ".ucode", ".initrd" and ".dtb" sections, in that order.
    std::optional<UkiOrigin> image;

    bool operator==(const SourceProfile&) const = default;
};

struct SourceSelection {
    std::string os_name;
    // The chosen entries' texts, each after a "# source-entry: <file name>" line and followed by
    // an empty line.
    std::string source_config;
    std::vector<SourceProfile> profiles;

    bool operator==(const SourceSelection&) const = default;
};

// Whether a root= value (unquoted) names the filesystem mounted at "/".
using NamesRootFilesystem = std::function<bool(std::string_view root_value)>;

// What ties an entry without a machine-id line to the running system.
struct RunningRoot {
    NamesRootFilesystem names_filesystem;
    // The subvolume mounted at "/": asked at most once per selection, and only for an entry
    // whose root= names the filesystem. Its failure is the selection's.
    std::function<system::RootSubvolume()> subvolume;
};

// The value of the root= parameter of a kernel command line as the kernel reads it: parameters
// are split at ASCII white space outside double quotes, quotes around the parameter or its value
// are removed, and the last root= wins. Nothing when there is no root= parameter.
[[nodiscard]] std::optional<std::string> root_parameter(std::string_view options);

// Whether the rootflags of a kernel command line mount `root`. The last subvol= or subvolid=
// part over every rootflags= parameter (split and unquoted as root_parameter reads root=)
// decides: subvol= names it by its path from the top level (read as the kernel walks it:
// leading, trailing and repeated "/" and "." do not matter, ".." goes up), subvolid= by its ID as
// the kernel reads the number (decimal, 0x hexadecimal, leading-0 octal; 0 is the top level, 5);
// with neither, the filesystem's default subvolume is mounted.
[[nodiscard]] bool mounts_root_subvolume(std::string_view options,
                                         const system::RootSubvolume& root);

// The unified kernel images of the boot filesystem, given the entries read (whose uki and efi
// lines name some of them); called only when they are needed.
using ReadUnifiedKernelImages =
    std::function<std::vector<UnifiedKernelImage>(const std::vector<BootEntry>& entries)>;

// Chooses the ordinary (not owned) entries of this machine that boot a linux image, in the
// order sort-key, title, version, file name (absent before present). An entry is this machine's
// when its machine-id line names it. Only when no entry qualifies that way, the entries without
// any machine-id line are taken whose root= parameter names the running root filesystem and
// whose rootflags mount its running root subvolume (another installation on the same
// filesystem is not this system); a `running_root` with empty functions accepts none.
// Only when no linux entry qualifies either way, the unified kernel images are read, and those
// are taken that an ordinary entry without a linux line but with this machine's machine-id names
// (by its uki or efi line), or whose command line passes the rule of the entries without a
// machine-id line. An image's command line is its .cmdline, or without one the options of the
// first entry naming it. They are ordered by title, version and location, and each becomes one
// profile. Throws "no ordinary systemd-boot Linux entries were found for machine <machine ID>"
// when there is none at all.
[[nodiscard]] SourceSelection select_source_entries(
    const std::vector<BootEntry>& entries, std::string_view machine_id, std::string_view os_name,
    const RunningRoot& running_root = {}, const ReadUnifiedKernelImages& read_images = {});

// Microcode when the final path component mentions "ucode" or "microcode" (ASCII case
// ignored), otherwise initramfs.
[[nodiscard]] store::AssetKind classify_initrd(std::string_view path);

// The command line with "rootflags=subvol=" set to `subvolume`: the first subvol= or subvolid=
// part of any rootflags token is replaced, later ones dropped, and a rootflags part or token is
// added when there is none. Other tokens are left untouched.
[[nodiscard]] std::string rewrite_root_options(std::string_view options,
                                               std::string_view subvolume);

// The command line recorded for one profile of one snapshot: the rewritten options followed by
// the extra kernel parameters, appended verbatim.
[[nodiscard]] std::string snapshot_options(std::string_view profile_cmdline,
                                           std::string_view subvolume,
                                           std::string_view kernel_parameters);

}  // namespace snapwright::bootloader
