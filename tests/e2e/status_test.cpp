// `status` on a real Btrfs machine, before and after a deployment: every figure checked against
// what lies in the two stores.

#include <numeric>
#include <string>

#include <gtest/gtest.h>

#include "e2e/machine_fixture.hpp"

namespace snapwright::testing {
namespace {

struct Figures {
    std::uint64_t manifests = 0;
    std::uint64_t references = 0;
    std::uint64_t archive_objects = 0;
    std::uint64_t archive_bytes = 0;
    std::uint64_t deployed_objects = 0;
    std::uint64_t deployed_bytes = 0;
    std::uint64_t average_set = 0;
    std::uint64_t reserve = 0;
    std::uint64_t boot_free = 0;
};

std::uint64_t total_size(const std::map<std::string, std::uint64_t>& objects) {
    return std::accumulate(
        objects.begin(), objects.end(), std::uint64_t{0},
        [](std::uint64_t sum, const auto& object) { return sum + object.second; });
}

class Status : public MachineTest {
  protected:
    void expect_status(const Figures& figures) {
        const ProgramResult result = snapwright({"status"});
        ASSERT_EQ(result.exit_code, 0) << describe(result);
        const auto n = [](std::uint64_t value) { return std::to_string(value); };
        EXPECT_EQ(labelled_values(result.out),
                  (std::map<std::string, std::string>{
                      {"Entry directory", "/boot/loader/entries"},
                      {"Archive root", "/var/lib/snapwright/" + machine_id()},
                      {"Boot data root", "/boot/snapwright/" + machine_id()},
                      {"Archived manifests", n(figures.manifests)},
                      {"Archive references", n(figures.references)},
                      {"Archive objects", n(figures.archive_objects)},
                      {"Archive bytes", n(figures.archive_bytes)},
                      {"Deployed objects", n(figures.deployed_objects)},
                      {"Deployed bytes", n(figures.deployed_bytes)},
                      {"Average kernel set", n(figures.average_set)},
                      {"Required boot reserve", n(figures.reserve)},
                      {"Boot free bytes", n(figures.boot_free)}}))
            << result.out;
        EXPECT_EQ(result.err, "");
    }
};

TEST_F(Status, EmptyArchiveCountsNothing) {
    write_source_entry(standard_entry());
    take_snapshots(2);
    expect_status({.boot_free = boot_free_bytes()});
    // Reading must not create either store.
    EXPECT_FALSE(fs::exists(machine().in_root("/var/lib/snapwright")));
    EXPECT_FALSE(fs::exists(machine().in_root("/boot/snapwright")));
}

TEST_F(Status, CountsWhatGenerateStored) {
    const SourceEntry source = write_source_entry(standard_entry());
    // Read-only snapshots booted without it would draw an advice on standard error.
    machine().write_config("SNAPSHOT_KERNEL_PARAMETERS=systemd.volatile=state\n");
    take_snapshots(3);
    ASSERT_TRUE(succeeded(snapwright({"generate"})));

    const auto archived = stored_objects(archive_store());
    const auto deployed = stored_objects(boot_store());
    ASSERT_EQ(archived, source.objects());
    ASSERT_EQ(deployed, source.objects());
    Figures figures{.manifests = 3,
                    .references = 3,
                    .archive_objects = 3,
                    .archive_bytes = total_size(archived),
                    .deployed_objects = 3,
                    .deployed_bytes = total_size(deployed),
                    .average_set = source.set_bytes(),
                    .reserve = 2 * source.set_bytes(),
                    .boot_free = boot_free_bytes()};
    expect_status(figures);

    // A deployed object that went missing still counts as named, but adds no bytes.
    fs::remove(machine().in_root("/boot" + boot_path(source.kernel)));
    figures.deployed_bytes -= source.wanted.kernel_size;
    figures.boot_free = boot_free_bytes();
    expect_status(figures);
}

// Booted into a snapshot, ARCHIVE_PATH may hold only the empty directory that stands for a
// nested archive subvolume, or lie missing on the read-only snapshot; every command says that
// the archive is out of reach instead of reporting an empty archive or failing on a write.
TEST_F(Status, EveryCommandRefusesAnArchivePathThatCannotHoldTheArchive) {
    write_source_entry(standard_entry());
    take_snapshots(1);
    fs::create_directories(machine().in_root("/var/lib/snapwright"));
    // A snapshot holds an empty stand-in where the root had a nested subvolume.
    machine().create_subvolume("@/srv/snapwright");
    take_snapshot(2);
    for (const std::string archive :
         {"/var/lib/snapwright", "/.snapshots/2/snapshot/srv/snapwright",
          "/.snapshots/1/snapshot/var/lib/snapwright"}) {
        machine().write_config("ARCHIVE_PATH=" + archive + "\n");
        for (const char* command : {"status", "verify", "gc", "generate"}) {
            SCOPED_TRACE(std::string(command) + " " + archive);
            expect_failure(snapwright({command}), "",
                           "snapwright: archive is not reachable at " + archive +
                               ": ARCHIVE_PATH is not the archive's Btrfs subvolume here, as "
                               "happens when running from a snapshot whose root does not "
                               "contain it\n");
        }
        expect_nothing_held();
    }
    EXPECT_TRUE(fs::is_empty(machine().in_root("/var/lib/snapwright")));
    EXPECT_FALSE(fs::exists(machine().in_root("/boot/snapwright")));
    EXPECT_TRUE(generated_entries().empty());
}

}  // namespace
}  // namespace snapwright::testing
