#include "generation/generate_run.hpp"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "support/files.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::generation {
namespace {

namespace fs = std::filesystem;
using snapwright::testing::read_file;
using snapwright::testing::write_file;

const std::string kUuid = "0f5c6a1e-7d2b-4c3a-9e8f-112233445566";
const std::string kMachine = "0123456789abcdef0123456789abcdef";

// Lists the snapshots a test names, and says which unlisted ones still exist.
class FakeProvider final : public provider::Provider {
  public:
    std::vector<std::string> listed;
    std::set<std::string> unlisted_existing;

    provider::ProviderScope scope() const override { return {kUuid, "btrfs", "root"}; }
    std::vector<provider::SnapshotDescriptor> list_snapshots() override {
        std::vector<provider::SnapshotDescriptor> snapshots;
        for (const std::string& id : listed) {
            provider::SnapshotDescriptor descriptor;
            descriptor.key = {kUuid, "btrfs", "root", id};
            descriptor.created_utc = "2024-03-0" + id + "T00:00:00Z";
            descriptor.subvolume = "/.snapshots/" + id + "/snapshot";
            snapshots.push_back(descriptor);
        }
        return snapshots;
    }
    bool unlisted_snapshot_exists(const provider::SnapshotDescriptor& recorded) const override {
        return unlisted_existing.contains(recorded.key.snapshot_id);
    }
};

// One generate run: what the provider reports, and the configuration it runs with.
struct RunSpec {
    std::vector<std::string> listed;
    std::set<std::string> unlisted_existing = {};
    std::function<void(config::Config&)> configure = nullptr;
};

struct Case {
    const char* name;
    std::vector<RunSpec> runs;
    // The last run's figures (summary_of), or its error.
    std::string outcome;
    // The generated entries the last run leaves, by the snapshot each boots.
    std::set<std::string> deployed;
};

std::string summary_of(const GenerateReport& report) {
    const auto n = [](std::uint64_t value) { return std::to_string(value); };
    return "archived " + n(report.archived_manifests) + ", created " + n(report.manifests_created) +
           ", updated " + n(report.manifests_updated) + ", removed " + n(report.manifests_removed) +
           ", deployed " + n(report.deployed_snapshots) + " in " + n(report.kernel_sets) +
           " set(s), " + n(report.deployed_objects) + " objects, " +
           (report.entries_changed ? "changed" : "unchanged");
}

// The last run's figures or its error.
std::string outcome_of(const RunContext& context, provider::Provider& provider) {
    try {
        return summary_of(run_generate(context, provider));
    } catch (const base::AppError& error) {
        return error.display();
    }
}

// A machine in a temporary directory: its boot root with one ordinary entry and its assets and
// an archive directory.
class Machine {
  public:
    Machine() {
        write_file(boot() / "vmlinuz-linux", "kernel bytes");
        write_file(boot() / "initramfs-linux.img", "initramfs bytes");
        write_file(entries() / "arch.conf", "title Arch Linux\nmachine-id " + kMachine +
                                                "\nlinux /vmlinuz-linux\n"
                                                "initrd /initramfs-linux.img\n"
                                                "options root=UUID=x rw rootflags=subvol=@\n");
        fs::create_directories(dir_ / "archive" / kMachine);
        fs::create_directories(dir_ / "run");
    }

    fs::path boot() const { return dir_ / "boot"; }
    fs::path entries() const { return boot() / "loader" / "entries"; }

    RunContext context(const RunSpec& run) const {
        RunContext context;
        context.config.archive_path = dir_ / "archive";
        if (run.configure) {
            run.configure(context.config);
        }
        context.boot_root = boot();
        context.entry_directory = entries();
        context.boot_data_relative = fs::path("snapwright") / kMachine;
        context.boot_data_root = boot() / context.boot_data_relative;
        context.archive_root = dir_ / "archive" / kMachine;
        context.machine_id = kMachine;
        context.os_name = "Arch Linux";
        context.root_filesystem_uuid = kUuid;
        context.efi_variables_directory = dir_ / "efivars";
        context.runtime_directory = dir_ / "run";
        return context;
    }

    // The snapshot IDs that the generated entries boot, read from their subvol= option.
    std::set<std::string> deployed() const {
        const std::string option = "rootflags=subvol=/.snapshots/";
        std::set<std::string> ids;
        for (const std::string& name : testing::names_in(entries())) {
            const std::string text = read_file(entries() / name);
            const auto at = text.find(option);
            if (name.starts_with("snapwright-") && at != std::string::npos) {
                const auto id = at + option.size();
                ids.insert(text.substr(id, text.find('/', id) - id));
            }
        }
        return ids;
    }

  private:
    testing::ScratchDir dir_;
};

// Without root: the archive is a plain directory that a `btrfs` on PATH takes for a subvolume.
TEST(GenerateRun, PlansWhatTheArchiveKeepsWithinTheLimits) {
    const testing::ScratchDir tools;
    testing::write_script(tools.path(), "btrfs", "exit 0\n");
    const testing::ScopedEnv path("PATH", tools.path().string() + ":" + std::getenv("PATH"));
    const auto limit = [](config::Config& config) { config.snapshot_limit = 2; };
    const auto asset_limit = [](config::Config& config) { config.snapshot_asset_limit_bytes = 1; };
    const std::vector<Case> cases = {
        {"no snapshot",
         {{{}}},
         "archived 0, created 0, updated 0, removed 0, deployed 0 in 0 set(s), 0 objects, "
         "unchanged",
         {}},
        {"nothing changed",
         {{{"1", "2"}}, {{"1", "2"}}},
         "archived 2, created 0, updated 0, removed 0, deployed 2 in 1 set(s), 2 objects, "
         "unchanged",
         {"1", "2"}},
        // After a rollback the old root's snapshots are no longer listed; those that still
        // exist stay archived and deployed, with the entries they had.
        {"rollback keeps what exists",
         {{{"1", "2"}}, {{}, {"1"}}},
         "archived 1, created 0, updated 0, removed 1, deployed 1 in 1 set(s), 2 objects, changed",
         {"1"}},
        {"snapshot limit",
         {{{"1", "2", "3"}, {}, limit}},
         "archived 3, created 3, updated 0, removed 0, deployed 2 in 1 set(s), 2 objects, changed",
         {"2", "3"}},
        {"refused run leaves the entries",
         {{{"1"}}, {{"1", "2"}, {}, asset_limit}},
         "newest kernel set requires 27 bytes, exceeding SNAPSHOT_ASSET_LIMIT_BYTES=1",
         {"1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Machine machine;
        std::string outcome;
        for (const RunSpec& run : c.runs) {
            FakeProvider provider;
            provider.listed = run.listed;
            provider.unlisted_existing = run.unlisted_existing;
            outcome = outcome_of(machine.context(run), provider);
        }
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(machine.deployed(), c.deployed);
    }
}

}  // namespace
}  // namespace snapwright::generation
