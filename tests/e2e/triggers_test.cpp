// Debounced generate runs, the Snapper plugin and watch mode on a sandbox machine.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/unique_fd.hpp"
#include "e2e/machine_fixture.hpp"
#include "support/snapper_sandbox.hpp"

namespace snapwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kSkipped = "Skipped a superseded snapshot event\n";
constexpr const char* kFakePath = "PATH=/opt/fake:/usr/sbin:/usr/bin:/sbin:/bin";

std::string summary_start(int archived) {
    return "Archived " + std::to_string(archived) + " snapshot manifests (created ";
}

// Processes whose parent is `parent`: all of them, or only the zombies.
int children_of(pid_t parent, bool zombies_only = false) {
    int children = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
        const std::string stat = read_file_or_empty(entry.path() / "stat");
        const std::size_t end = stat.rfind(')');
        if (end == std::string::npos) {
            continue;
        }
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + end + 1, " %c %d", &state, &ppid) == 2 && ppid == parent &&
            (!zombies_only || state == 'Z')) {
            ++children;
        }
    }
    return children;
}

int zombie_children(pid_t parent) {
    return children_of(parent, true);
}

// A directory of the machine laid over another one (under the read-only /usr, for example) for
// the life of the object.
class Overlay {
  public:
    Overlay(const fs::path& source, const fs::path& target) : target_(target) {
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            throw std::runtime_error("bind " + source.string() + " over " + target.string());
        }
    }
    Overlay(const Overlay&) = delete;
    Overlay& operator=(const Overlay&) = delete;
    ~Overlay() { (void)::umount2(target_.c_str(), MNT_DETACH); }

  private:
    fs::path target_;
};

class Triggers : public StandardMachineTest {
  protected:
    void prepare() override {
        StandardMachineTest::prepare();
        (void)take_snapshot(1);
    }

    // Whether the debounce claim is the one `run` placed.
    bool claimed_by(const RunningProgram& run) {
        const fs::path claim = machine().in_root("/run/snapwright/" + machine_id() + ".token");
        return read_file_or_empty(claim).starts_with(std::to_string(run.pid()) + "-");
    }
};

TEST_F(Triggers, OfTwoDebouncedRunsOnlyTheLaterGenerates) {
    // Long enough for the second run to start and claim on a busy machine.
    machine().write_config("DEBOUNCE_MILLISECONDS=3000\n");
    RunningProgram first = machine().start({binary(), "generate", "--debounce"});
    // The second run must claim after the first, however slowly a busy machine starts it.
    ASSERT_TRUE(eventually([&] { return claimed_by(first); }));
    RunningProgram second = machine().start({binary(), "--debounce"});
    const ProgramResult early = first.wait();
    const ProgramResult late = second.wait();
    EXPECT_EQ(early.exit_code, 0) << describe(early);
    EXPECT_EQ(early.out + early.err, kSkipped);
    ASSERT_EQ(late.exit_code, 0) << describe(late);
    EXPECT_TRUE(late.out.starts_with(summary_start(1) + "1,")) << late.out;

    const fs::path claim = machine().in_root("/run/snapwright/" + machine_id() + ".token");
    EXPECT_TRUE(read_file_or_empty(claim).starts_with(std::to_string(second.pid()) + "-"));
    EXPECT_EQ(fs::status(claim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// A slow burst: runs that each won their claim queue on the lock; every one that a later run
// supersedes meanwhile leaves at once instead of waiting for its turn or the timeout.
TEST_F(Triggers, ARunSupersededWhileWaitingForTheLockLeaves) {
    machine().write_config("DEBOUNCE_MILLISECONDS=100\n");
    const fs::path lock_path = machine().in_root("/run/lock/boot-partition.lock");
    fs::create_directories(lock_path.parent_path());
    const int lock = ::open(lock_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);

    RunningProgram waiting = machine().start({binary(), "generate", "--debounce"});
    ASSERT_TRUE(eventually([&] { return claimed_by(waiting); }));
    std::this_thread::sleep_for(700ms);
    EXPECT_FALSE(waiting.finished());
    RunningProgram latest = machine().start({binary(), "generate", "--debounce"});
    EXPECT_TRUE(eventually([&] { return waiting.finished(); }, 3s));
    EXPECT_FALSE(latest.finished());
    ::close(lock);

    const ProgramResult superseded = waiting.wait();
    EXPECT_EQ(superseded.exit_code, 0) << describe(superseded);
    EXPECT_EQ(superseded.out + superseded.err, kSkipped);
    const ProgramResult generated = latest.wait();
    ASSERT_EQ(generated.exit_code, 0) << describe(generated);
    EXPECT_TRUE(generated.out.starts_with(summary_start(1))) << generated.out;
}

// A create event meets a lock held for longer than a run may wait. The event fails, but leaves a
// debounced run behind, which waits for the lock as long as no later event supersedes it and
// gives the snapshot its entry once the lock is free.
TEST_F(Triggers, ACreateEventThatCannotGetTheLockLeavesARunThatWaitsForIt) {
    machine().write_config("DEBOUNCE_MILLISECONDS=100\n");
    // The detached run goes through setsid, as systemd-run refuses here.
    write_file(machine().in_root("/opt/fake/systemd-run"), "#!/bin/sh\nexit 1\n", 0755);
    const std::string plugin = "/opt/snapwright-test/10-snapwright";
    fs::create_symlink("snapwright", machine().in_root(plugin));
    const fs::path lock_path = machine().in_root("/run/lock/boot-partition.lock");
    fs::create_directories(lock_path.parent_path());
    base::UniqueFd lock(::open(lock_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(lock);
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);

    const ProgramResult event = machine().run({plugin, "create-snapshot-post", "/", "1"},
                                              {kFakePath, "SNAPWRIGHT_TEST_LOCK_LIMIT_MS=300"});
    EXPECT_EQ(event.exit_code, 1) << describe(event);
    EXPECT_EQ(event.err,
              "snapwright: timed out waiting for /run/lock/boot-partition.lock\n"
              "snapwright: synchronous snapwright capture exited with exit status: 1\n");
    // Well past the limit, which the detached run inherited.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(generated_entries().empty());
    lock.reset();

    EXPECT_TRUE(eventually([&] { return generated_entries().size() == 1; }));
    EXPECT_TRUE(detached_runs_ended(60s));
    expect_nothing_held();
}

TEST_F(Triggers, WatchSchedulesForSnapshotDirectoriesUntilItsDirectoryGoes) {
    const fs::path snapshots = machine().in_root("/watched");
    fs::create_directories(snapshots);
    machine().write_config("WATCH_PATHS=/watched\n");
    // systemd-run refuses, so the run goes through setsid, which only records it.
    write_file(machine().in_root("/opt/fake/systemd-run"), "#!/bin/sh\nexit 1\n", 0755);
    write_file(machine().in_root("/opt/fake/setsid"), "#!/bin/sh\necho \"$*\" >> /tmp/scheduled\n",
               0755);
    const fs::path scheduled = machine().in_root("/tmp/scheduled");
    const auto runs = [&] { return read_file_or_empty(scheduled); };

    const int ready = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(ready, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = machine().in_root("/run/ready.sock").string();
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    ASSERT_EQ(::bind(ready, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    RunningProgram watcher =
        machine().start({binary(), "watch"}, {kFakePath, "NOTIFY_SOCKET=/run/ready.sock"});
    pollfd readable{ready, POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 10000), 1);
    char datagram[256];
    const ssize_t got = ::recv(ready, datagram, sizeof datagram, 0);
    ::close(ready);
    EXPECT_EQ(std::string(datagram, static_cast<std::size_t>(std::max<ssize_t>(got, 0))),
              "READY=1\nSTATUS=Watching 1 snapshot directory");

    // Once watching, one run catches up with what changed while no watcher ran.
    const std::string run = binary() + " generate --debounce\n";
    EXPECT_TRUE(eventually([&] { return runs() == run; })) << runs();
    write_file(snapshots / "notes.txt", "not a snapshot");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(runs(), run);

    fs::create_directory(snapshots / "5");
    EXPECT_TRUE(eventually([&] { return runs() == run + run; })) << runs();

    // An upgrade replaces the executable under the running watcher.
    fs::remove(machine().in_root(binary()));
    (void)machine().install_binary();
    fs::create_directory(snapshots / "6");
    EXPECT_TRUE(eventually([&] { return runs() == run + run + run; })) << runs();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(zombie_children(watcher.pid()), 1);

    fs::remove_all(snapshots);
    EXPECT_TRUE(eventually([&] { return watcher.finished(); }));
    expect_failure(watcher.wait(), "",
                   "snapwright: an inotify watch was invalidated; restart after restoring "
                   "WATCH_PATHS\n");
    // The last run was started detached, so it may still be writing its record.
    EXPECT_TRUE(eventually([&] { return runs().starts_with(run + run + run + run); })) << runs();
}

// Snapper makes a snapshot's directory first and its subvolume later, after a commit that may
// outlast the debounce: the run for the directory finds nothing new, the subvolume's arrival
// inside it schedules another.
TEST_F(Triggers, WatchGeneratesForASnapshotCompletedAfterTheDebounce) {
    machine().write_config("DEBOUNCE_MILLISECONDS=100\n");
    write_file(machine().in_root("/opt/fake/systemd-run"), "#!/bin/sh\nexit 1\n", 0755);
    const fs::path claim = machine().in_root("/run/snapwright/" + machine_id() + ".token");
    RunningProgram watcher = machine().start({binary(), "watch"}, {kFakePath});
    const auto settled = [&] { return children_of(watcher.pid()) == 0; };
    ASSERT_TRUE(eventually([&] { return generated_entries().size() == 1 && settled(); }, 30s));

    const std::string caught_up = read_file_or_empty(claim);
    fs::create_directory(machine().in_root("/.snapshots/2"));
    ASSERT_TRUE(
        eventually([&] { return read_file_or_empty(claim) != caught_up && settled(); }, 30s));
    EXPECT_EQ(generated_entries().size(), 1u);

    (void)take_snapshot(2);
    EXPECT_TRUE(eventually([&] { return generated_entries().size() == 2 && settled(); }, 30s));
}

// The runs that watch tests record instead of starting: systemd-run refuses, so each run goes
// through setsid, which records it and lasts a moment, as a real run would.
class WatchTest : public Triggers {
  protected:
    void prepare() override {
        Triggers::prepare();
        fs::create_directories(machine().in_root("/watched"));
        write_file(machine().in_root("/opt/fake/systemd-run"), "#!/bin/sh\nexit 1\n", 0755);
        write_file(machine().in_root("/opt/fake/setsid"),
                   "#!/bin/sh\necho \"$*\" >> /tmp/scheduled\nsleep 0.3\n", 0755);
    }

    std::string runs() const { return read_file_or_empty(machine().in_root("/tmp/scheduled")); }
    int recorded_runs() const { return static_cast<int>(std::ranges::count(runs(), '\n')); }
};

// A burst spread over many reads is one run once it has been quiet for the debounce period,
// and a run that has ended is collected without waiting for another event.
TEST_F(WatchTest, ASpreadOutBurstIsOneRunAndItsProcessIsCollected) {
    machine().write_config("WATCH_PATHS=/watched\nDEBOUNCE_MILLISECONDS=2000\n");
    RunningProgram watcher = machine().start({binary(), "watch"}, {kFakePath});
    ASSERT_TRUE(eventually([&] { return recorded_runs() == 1; })) << runs();

    for (int number = 0; number < 20; ++number) {
        fs::create_directory(machine().in_root("/watched/" + std::to_string(number)));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(eventually([&] { return recorded_runs() == 2; })) << runs();
    EXPECT_TRUE(eventually([&] { return children_of(watcher.pid()) == 0; }));
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(recorded_runs(), 2) << runs();
    EXPECT_FALSE(watcher.finished());
}

// A mount over a watched directory hides it without an event on it; the watcher ends so that
// its restart watches what the path names now. Other mounts leave it watching.
TEST_F(WatchTest, AWatchedDirectoryMountedOverEndsTheWatcher) {
    machine().write_config("WATCH_PATHS=/watched\n");
    fs::create_directories(machine().in_root("/cover"));
    fs::create_directories(machine().in_root("/elsewhere"));
    RunningProgram watcher = machine().start({binary(), "watch"}, {kFakePath});
    ASSERT_TRUE(eventually([&] { return recorded_runs() == 1; })) << runs();
    // Its process ends with the watcher's namespace otherwise.
    ASSERT_TRUE(eventually([&] { return children_of(watcher.pid()) == 0; }));

    {
        const Overlay unrelated(machine().in_root("/cover"), machine().in_root("/elsewhere"));
        std::this_thread::sleep_for(300ms);
        EXPECT_FALSE(watcher.finished());
    }
    const Overlay cover(machine().in_root("/cover"), machine().in_root("/watched"));
    EXPECT_TRUE(eventually([&] { return watcher.finished(); }));
    const ProgramResult ended = watcher.wait();
    EXPECT_EQ(ended.exit_code, 1);
    EXPECT_EQ(ended.err,
              "snapwright: an inotify watch was invalidated; restart after restoring "
              "WATCH_PATHS\n");
}

// Debian 12's Snapper (0.10.4) calls its plugins with the older event names only; the
// forwarding script that an administrator installs there passes them on as newer Snapper
// names them.
using SnapperHook = MachineTest;

TEST_F(SnapperHook, CreateGeneratesThroughAForwardingScript) {
    SKIP_WITHOUT_SNAPPER();
    (void)write_source_entry(standard_entry());
    const std::string path = set_up_snapper(machine());
    machine().write_config("PROVIDER=snapper\n");
    write_file(machine().in_root("/opt/snapper-lib/plugins/10-snapwright-forward"),
               "#!/bin/bash\n"
               "case \"$1\" in\n"
               "create-snapshot|delete-snapshot|modify-snapshot)\n"
               "    exec -a 10-snapwright " +
                   binary() +
                   " \"$1-post\" \"$2\" \"$3\" \"$4\" ;;\n"
                   "esac\n",
               0755);
    const Overlay plugins(machine().in_root("/opt/snapper-lib"),
                          machine().in_root("/usr/lib/snapper"));

    const ProgramResult created = machine().run(
        {"snapper", "--no-dbus", "--config", "root", "create", "--description", "t"}, {path});
    ASSERT_EQ(created.exit_code, 0) << describe(created);
    EXPECT_TRUE(eventually([&] { return generated_entries().size() == 1; })) << describe(created);
}

}  // namespace
}  // namespace snapwright::testing
