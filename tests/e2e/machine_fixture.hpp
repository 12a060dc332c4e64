#pragma once

// A fresh sandbox machine per test with the snapwright binary installed, and the expectations
// of the commands built from what the test itself put on the machine: snapshot identities,
// asset digests, entry texts, summary lines. The suites get the support files' helpers with it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <source_location>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.hpp"
#include "support/sandbox.hpp"

namespace snapwright::testing {

// A read-only snapshot of "@" at "@/.snapshots/<number>/snapshot".
struct Snapshot {
    int number = 0;
    std::string uuid;
    // What `btrfs subvolume show` reports as its creation time inside the machine.
    std::string created;

    std::string subvolume() const;
};

// An ordinary entry written on the boot partition, with the digests of its assets.
struct SourceEntry {
    EntrySpec wanted;
    WrittenEntry written;
    std::string kernel;
    std::optional<std::string> microcode;
    std::string initrd;

    // The display name of the profile made from it: "title (version)".
    std::string profile_name() const;
    // Digest to size of its assets.
    std::map<std::string, std::uint64_t> objects() const;
    // The kernel plus the initramfs, the size the planner averages.
    std::uint64_t set_bytes() const;
    std::uint64_t total_bytes() const;
};

// The numbers of one generate summary line, in the order printed.
struct Summary {
    std::uint64_t archived = 0;
    std::uint64_t created = 0;
    std::uint64_t updated = 0;
    std::uint64_t removed = 0;
    std::uint64_t snapshots = 0;
    std::uint64_t kernel_sets = 0;
    std::uint64_t objects = 0;
    std::uint64_t bytes = 0;
    std::uint64_t average_set = 0;
    std::uint64_t reserve = 0;
    std::uint64_t archive_gc_objects = 0;
    std::uint64_t archive_gc_bytes = 0;
    std::uint64_t boot_gc_objects = 0;
    std::uint64_t boot_gc_bytes = 0;
    bool entries_changed = false;

    // The counts in the order printed, then 1 when the entries changed.
    std::vector<std::uint64_t> counts() const;
};

// The same read back from a summary line: every number in order, then 1 when it ends "updated".
std::vector<std::uint64_t> summary_counts(const std::string& line);

// Label to value of every "Label : value" line of a report.
std::map<std::string, std::string> labelled_values(const std::string& report);

class MachineTest : public ::testing::Test {
  protected:
    // Skips the test where no sandbox can be made; otherwise builds the machine, installs the
    // binary and calls prepare().
    void SetUp() override;
    // What a suite puts on each fresh machine before its tests run.
    virtual void prepare() {}

    Sandbox& machine() { return *sandbox_; }
    const Sandbox& machine() const { return *sandbox_; }
    const std::string& machine_id() const { return sandbox_->machine_id(); }

    // The path of the installed binary inside the machine.
    const std::string& binary() const { return binary_; }
    // Runs the installed binary inside the machine.
    ProgramResult snapwright(const std::vector<std::string>& arguments,
                             const std::vector<std::string>& extra_env = {}) const;

    // A successful run that printed exactly the summary line of `expected` and nothing else.
    static void expect_summary(const ProgramResult& result, const Summary& expected);

    // Writes an ordinary entry and hashes its assets.
    SourceEntry write_source_entry(const EntrySpec& wanted);
    // The entry most tests boot from: kernel, microcode and initramfs of different sizes.
    static EntrySpec standard_entry();

    Snapshot take_snapshot(int number);
    std::vector<Snapshot> take_snapshots(int count);
    // Deletes "@/.snapshots/<number>/snapshot" from outside the machine.
    void delete_snapshot(int number) const;

    // "/snapwright/<machine id>/objects/sha256/<xx>/<digest>", as entries name objects.
    std::string boot_path(const std::string& digest) const;
    std::filesystem::path boot_store() const;
    std::filesystem::path archive_store() const;
    std::filesystem::path entry_directory() const;
    // Digest to file size of every object file below a store's objects/sha256.
    static std::map<std::string, std::uint64_t> stored_objects(const std::filesystem::path& store);

    // "snapwright-<machine id>-<filesystem uuid>-btrfs-root-<snapshot uuid>-<profile>.conf".
    std::string entry_name(const Snapshot& snapshot, int profile = 0) const;
    // The entry text generated for `snapshot` booting `source`.
    std::string entry_text(const Snapshot& snapshot, const SourceEntry& source) const;
    // File name to text of every file in the entry directory whose name starts "snapwright-".
    std::map<std::string, std::string> generated_entries() const;

    // The output of `bootctl list` over the boot partition, which must succeed without an error
    // and without complaining of a file that an entry names.
    std::string bootctl_list(std::source_location where = std::source_location::current()) const;

    // Free bytes of the boot filesystem for an unprivileged writer.
    std::uint64_t boot_free_bytes() const;

    // After a run, successful or not: no top-level mount is left under /run/snapwright and
    // the boot partition lock can be taken at once.
    void expect_nothing_held() const;

    // Waits up to `limit` until no process runs the installed binary any more (the detached
    // runs that events started); false when some still run then.
    bool detached_runs_ended(std::chrono::milliseconds limit) const;

  private:
    std::optional<Sandbox> sandbox_;
    std::string binary_;
};

// A machine with the standard ordinary entry already written.
class StandardMachineTest : public MachineTest {
  protected:
    void prepare() override { source_ = write_source_entry(standard_entry()); }

    SourceEntry source_;
};

// Waits up to `limit` for `done()` to hold, asking every 20 ms; false when it still does not.
template <typename Condition>
bool eventually(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The SHA-256 digest of a host file, computed by openssl rather than by the code under test.
std::string sha256_of(const std::filesystem::path& path);

}  // namespace snapwright::testing
