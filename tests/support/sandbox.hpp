#pragma once

// A throw-away machine for end-to-end tests: a loop-mounted Btrfs image whose subvolume "@" is the
// root of a chroot, with the host's /usr bound read-only, its own /dev, /run, /tmp, machine ID and
// os-release, and an ext4 image on /boot standing in for the EFI system partition. Everything
// lives in a private mount namespace of the test process, so nothing leaks to the host even when
// a test dies.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/run_program.hpp"
#include "support/tree_description.hpp"

namespace snapwright::testing {

namespace fs = std::filesystem;

// An ordinary (not generated) boot entry with its asset files on the boot partition.
struct EntrySpec {
    std::string file_name = "test-os.conf";
    std::string title = "Test OS";
    std::string version = "6.1.0-1-amd64";
    // The machine-id line and the directory of the assets; the sandbox's own when unset.
    std::optional<std::string> machine_id;
    bool machine_id_line = true;
    std::uint64_t kernel_size = 4096;
    std::uint64_t initrd_size = 16384;
    // Zero leaves the file and its line out. Microcode comes before the initramfs.
    std::uint64_t microcode_size = 0;
    std::uint64_t devicetree_size = 0;
    // The options line; "root=UUID=<root filesystem> rootflags=subvol=@ rw quiet" when unset.
    std::optional<std::string> options;
    // Appended verbatim after the generated lines.
    std::string extra_lines;
};

struct WrittenEntry {
    fs::path entry;  // host path of the entry file
    std::string text;
    // Boot paths as the entry names them ("/<machine-id>/<version>/linux"), in line order.
    std::string kernel;
    std::vector<std::string> initrds;
    std::optional<std::string> devicetree;
};

struct SnapshotOptions {
    // The subvolume to snapshot, relative to the top level.
    std::string source = "@";
    bool read_only = true;
    // A snapshot of "@" carries the empty boot mount point; false removes it.
    bool with_boot = true;
};

class Sandbox {
  public:
    static constexpr const char* kFilesystemLabel = "sandbox root";

    // Why sandboxes cannot be made here (not root, no loop devices, tools or Btrfs missing), or
    // nothing when they can. Tests skip with this text through SKIP_WITHOUT_SANDBOX.
    static std::optional<std::string> unavailable_reason();

    // Builds the whole machine; throws std::runtime_error (after undoing what it did) on failure.
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // The chroot directory (subvolume "@" mounted) as the host sees it.
    const fs::path& root() const;
    // The filesystem's top level (subvolume ID 5), mounted read-write outside the chroot.
    const fs::path& top_level() const;
    const std::string& filesystem_uuid() const;
    // The root filesystem's label (kFilesystemLabel) has a /dev/disk/by-label link, and its
    // block device a node, "/dev/loop<N>", inside the chroot.
    const std::string& root_device() const;
    const std::string& boot_uuid() const;
    const std::string& machine_id() const;
    const std::string& root_subvolume_uuid() const;
    // The host path of an absolute path inside the chroot.
    fs::path in_root(std::string_view inside) const;
    // The host path of a path relative to the top level ("@/.snapshots/1/snapshot").
    fs::path in_top_level(std::string_view relative) const;

    // A new empty subvolume at a path relative to the top level (parents created as directories).
    void create_subvolume(std::string_view relative);
    // Adds a second device to the root filesystem (`btrfs device add`) and returns its node
    // inside the chroot ("/dev/loop<N>"); /proc/self/mountinfo keeps naming the first one.
    std::string add_root_device();
    // A snapshot at a path relative to the top level; returns its UUID.
    std::string create_snapshot(std::string_view relative, const SnapshotOptions& options = {});
    // The UUID that `btrfs subvolume show` reports for a path relative to the top level.
    std::string subvolume_uuid(std::string_view relative) const;
    // Mounts the subvolume at a path relative to the top level on an absolute path inside the
    // machine (created as directories), as a separate subvolume in /etc/fstab would be.
    void mount_subvolume(std::string_view relative, std::string_view inside);
    // Boots the machine from another subvolume, as after a rollback: the subvolume at a path
    // relative to the top level becomes the root, and every mount below the old root moves onto
    // it. root_subvolume_uuid() stays that of "@".
    void replace_root(std::string_view relative);

    // An ordinary boot entry with asset files of the given sizes.
    WrittenEntry write_entry(const EntrySpec& wanted);
    // The host path of the machine's EFI variable directory (/sys/firmware/efi/efivars), empty
    // until a test writes variables there; the machine has none before the first call. Its
    // /boot/loader/loader.conf names every entry but the generated ones as the default.
    fs::path efi_variables();
    // /etc/snapwright.conf inside the chroot.
    void write_config(std::string_view text);

    // Copies a host program into the chroot (under /opt/snapwright-test) and returns the path
    // by which it is run there. Without a source: the snapwright binary under test.
    std::string install_program(const fs::path& source, std::string_view name);
    std::string install_binary();

    // Runs a program inside the chroot (working directory "/", environment PATH plus `extra_env`
    // entries of the form NAME=value, which may override PATH) and waits for it.
    ProgramResult run(const std::vector<std::string>& argv,
                      const std::vector<std::string>& extra_env = {}) const;
    // The same, without waiting.
    RunningProgram start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extra_env = {}) const;

    // How long the constructor took, for the record.
    double creation_seconds() const { return creation_seconds_; }

  private:
    struct Resources;
    std::unique_ptr<Resources> resources_;
    double creation_seconds_ = 0;
};

// Key to value of the "Key: value" lines that `btrfs subvolume show` prints before its list of
// snapshots ("UUID", "Parent UUID", "Creation time", "Flags", ...).
std::map<std::string, std::string> subvolume_show_values(const std::string& output);

// Skips the current test, saying why, where sandboxes cannot be made.
#define SKIP_WITHOUT_SANDBOX()                                                    \
    do {                                                                          \
        if (auto reason = ::snapwright::testing::Sandbox::unavailable_reason()) { \
            GTEST_SKIP() << "no end-to-end sandbox: " << *reason;                 \
        }                                                                         \
    } while (false)

}  // namespace snapwright::testing
