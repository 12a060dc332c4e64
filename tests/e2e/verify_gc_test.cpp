// `verify` and `gc` on a real Btrfs machine after a deployment: every finding `verify` reports
// for a damaged file, and exactly which objects `gc` removes.

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/machine_fixture.hpp"

namespace snapwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kClean = "Checked objects: 6\nNo integrity issues found\n";
constexpr const char* kEntriesDiffer =
    "deployed systemd-boot entries do not match the archive and retention policy";

// Two snapshots of the standard entry, deployed: three objects in each store, two entries.
class VerifyGc : public StandardMachineTest {
  protected:
    void prepare() override {
        StandardMachineTest::prepare();
        snapshots_ = take_snapshots(2);
        ASSERT_TRUE(succeeded(snapwright({"generate"})));
    }

    // The machine's own path of a file in the archive directory of `snapshot`.
    std::string archived_file(const Snapshot& snapshot, const char* name) const {
        for (const auto& entry : fs::recursive_directory_iterator(archive_store() / "snapshots")) {
            if (entry.is_directory() && entry.path().filename() == snapshot.uuid) {
                return "/" + (entry.path() / name).lexically_relative(machine().root()).string();
            }
        }
        ADD_FAILURE() << "no archive directory for snapshot " << snapshot.uuid;
        return {};
    }

    std::string entry(int snapshot) const {
        return "/boot/loader/entries/" + entry_name(snapshots_.at(snapshot));
    }

    // An object file that nothing names; gc goes by the name alone.
    static void plant_object(const fs::path& store, const std::string& name, std::size_t size) {
        write_file(store / "objects/sha256" / name.substr(0, 2) / name, std::string(size, 'x'));
    }

    void expect_gc(const std::string& report) {
        expect_success(snapwright({"gc"}), report);
        expect_nothing_held();
    }

    std::vector<Snapshot> snapshots_;
};

// Truncate drops the final byte: an object no longer hashes to its name, a text file lacks its
// final newline.
enum class Damage { Truncate, Append, Remove, Directory };

void damage(const fs::path& path, Damage how) {
    switch (how) {
        case Damage::Truncate:
            fs::resize_file(path, fs::file_size(path) - 1);
            break;
        case Damage::Append:
            write_file(path, read_file(path) + "\n", 0600);
            break;
        case Damage::Remove:
            fs::remove(path);
            break;
        case Damage::Directory:
            fs::remove(path);
            fs::create_directory(path);
            break;
    }
}

TEST_F(VerifyGc, VerifyReportsEachDamagedFileAndNothingElse) {
    expect_success(snapwright({"verify"}), kClean);

    struct Case {
        std::string path;  // inside the machine
        Damage how;
        std::string issue;
    };
    const std::string source_config = archived_file(snapshots_[0], "source.conf");
    const std::string fragment = archived_file(snapshots_[1], "fragment.conf");
    const std::string archive_object = "/var/lib/snapwright/" + machine_id() + "/objects/sha256/" +
                                       source_.initrd.substr(0, 2) + "/" + source_.initrd;
    const std::vector<Case> cases{
        {"/boot" + boot_path(source_.kernel), Damage::Truncate,
         "missing or corrupted boot object: sha256:" + source_.kernel},
        {archive_object, Damage::Truncate,
         "missing or corrupted archive object: sha256:" + source_.initrd},
        {source_config, Damage::Append,
         "stale or modified archive source config: " + source_config},
        {source_config, Damage::Remove, "missing archive source config: " + source_config},
        {source_config, Damage::Directory, "missing archive source config: " + source_config},
        {fragment, Damage::Truncate, "stale or modified archive generated fragment: " + fragment},
        {entry(1), Damage::Append, kEntriesDiffer},
        {entry(0), Damage::Remove, kEntriesDiffer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const fs::path host = machine().in_root(c.path);
        const std::string original = read_file(host);
        const unsigned mode = mode_of(host);
        damage(host, c.how);

        expect_failure(snapwright({"verify"}), "Checked objects: 6\n",
                       "ERROR: " + c.issue + "\nsnapwright: verification found 1 issue(s)\n");

        fs::remove_all(host);
        write_file(host, original, mode);
    }

    // Findings never stop the check: all of them are reported, in the order found.
    damage(machine().in_root(entry(0)), Damage::Append);
    damage(machine().in_root(fragment), Damage::Remove);
    damage(machine().in_root("/boot" + boot_path(source_.initrd)), Damage::Remove);
    expect_failure(snapwright({"verify"}), "Checked objects: 6\n",
                   "ERROR: missing archive generated fragment: " + fragment +
                       "\nERROR: missing or corrupted boot object: sha256:" + source_.initrd +
                       "\nERROR: " + kEntriesDiffer +
                       "\nsnapwright: verification found 3 issue(s)\n");
}

// A generate run slowed at every sync, with verify started again and again while it works:
// each verify waits for the run instead of reporting its half-done work as damage.
TEST_F(VerifyGc, VerifyDuringAGenerateRunIsCleanEveryTime) {
    (void)take_snapshot(3);
    (void)take_snapshot(4);
    // The sanitizer build's leak check cannot run under ptrace.
    RunningProgram generate =
        machine().start({"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync,syncfs", "-e",
                         "inject=fsync,syncfs:delay_exit=200000", binary(), "generate"},
                        {"ASAN_OPTIONS=detect_leaks=0"});
    std::vector<RunningProgram> verifies;
    while (!generate.finished() && verifies.size() < 20) {
        verifies.push_back(machine().start({binary(), "verify"}));
        std::this_thread::sleep_for(150ms);
    }
    const ProgramResult generated = generate.wait();
    ASSERT_EQ(generated.exit_code, 0) << describe(generated);
    EXPECT_GE(verifies.size(), 3u) << "the slowed run was over too soon to meet verify";
    for (RunningProgram& verify : verifies) {
        const ProgramResult checked = verify.wait();
        EXPECT_EQ(checked.exit_code, 0) << describe(checked);
        EXPECT_EQ(checked.out, kClean) << describe(checked);
    }
}

// A file where a fan-out directory of the boot store belongs hides the objects that belong in
// it: verify reports them missing, and generate puts the directory and the objects back.
TEST_F(VerifyGc, FanOutReplacedByAFileIsMissingObjectsThatGenerateRestores) {
    const std::string fan_out = source_.kernel.substr(0, 2);
    const fs::path path = boot_store() / "objects/sha256" / fan_out;
    fs::remove_all(path);
    write_file(path, "not a directory");
    std::string issues;
    std::size_t count = 0;
    for (const auto& [digest, size] : source_.objects()) {
        if (digest.starts_with(fan_out)) {
            issues += "ERROR: missing or corrupted boot object: sha256:" + digest + "\n";
            ++count;
        }
    }

    expect_failure(
        snapwright({"verify"}), "Checked objects: 6\n",
        issues + "snapwright: verification found " + std::to_string(count) + " issue(s)\n");

    EXPECT_TRUE(succeeded(snapwright({"generate"})));
    EXPECT_EQ(stored_objects(boot_store()), source_.objects());
    expect_success(snapwright({"verify"}), kClean);
}

TEST_F(VerifyGc, GcRemovesOnlyUnreferencedObjects) {
    expect_gc("Removed 0 unreferenced objects (0 bytes)\n");

    plant_object(archive_store(), std::string(64, 'a'), 20);
    plant_object(boot_store(), std::string(64, 'b'), 28);
    // A killed run's entry temporary goes too, and is no object.
    const fs::path temporary = machine().in_root(entry(0)).parent_path() /
                               ("." + entry_name(snapshots_[0]) + ".tmp-4194303-0");
    write_file(temporary, "half an entry");
    const auto entries = generated_entries();
    expect_gc("Removed 2 unreferenced objects (48 bytes)\n");
    EXPECT_FALSE(fs::exists(temporary));
    EXPECT_EQ(stored_objects(archive_store()), source_.objects());
    EXPECT_EQ(stored_objects(boot_store()), source_.objects());
    EXPECT_EQ(generated_entries(), entries);
    EXPECT_EQ(snapwright({"verify"}).out, kClean);

    // The archive is collected before the entries are read: a broken entry fails the command
    // after the archive's garbage is gone, and leaves the boot store alone.
    plant_object(archive_store(), std::string(64, 'c'), 1);
    plant_object(boot_store(), std::string(64, 'd'), 1);
    write_file(machine().in_root(entry(0)), "# Generated by snapwright\ntitle no kernel\n");
    expect_failure(snapwright({"gc"}), "",
                   "snapwright: owned systemd-boot entry " + entry_name(snapshots_[0]) +
                       " has no linux image\n");
    expect_nothing_held();
    EXPECT_EQ(stored_objects(archive_store()), source_.objects());
    EXPECT_EQ(stored_objects(boot_store()).count(std::string(64, 'd')), 1u);
}

TEST_F(VerifyGc, GcKeepsWhatLegacyManifestsNameUntilTheyAreGone) {
    // The older layout kept the manifests in the boot data directory; they name the boot
    // store's objects, and no entry does any more.
    fs::copy(archive_store() / "snapshots", boot_store() / "snapshots",
             fs::copy_options::recursive);
    for (const auto& [name, text] : generated_entries()) {
        fs::remove(entry_directory() / name);
    }
    expect_gc("Removed 0 unreferenced objects (0 bytes)\n");
    EXPECT_EQ(stored_objects(boot_store()), source_.objects());

    fs::remove_all(boot_store() / "snapshots");
    expect_gc("Removed 3 unreferenced objects (" + std::to_string(source_.total_bytes()) +
              " bytes)\n");
    EXPECT_TRUE(stored_objects(boot_store()).empty());
    EXPECT_EQ(stored_objects(archive_store()), source_.objects());
}

}  // namespace
}  // namespace snapwright::testing
