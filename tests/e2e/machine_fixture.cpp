#include "e2e/machine_fixture.hpp"

#include "support/files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace snapwright::testing {

std::string Snapshot::subvolume() const {
    return "/@/.snapshots/" + std::to_string(number) + "/snapshot";
}

std::string SourceEntry::profile_name() const {
    return wanted.title + " (" + wanted.version + ")";
}

std::map<std::string, std::uint64_t> SourceEntry::objects() const {
    std::map<std::string, std::uint64_t> objects{{kernel, wanted.kernel_size},
                                                 {initrd, wanted.initrd_size}};
    if (microcode) {
        objects.emplace(*microcode, wanted.microcode_size);
    }
    return objects;
}

std::uint64_t SourceEntry::set_bytes() const {
    return wanted.kernel_size + wanted.initrd_size;
}

std::uint64_t SourceEntry::total_bytes() const {
    return set_bytes() + (microcode ? wanted.microcode_size : 0);
}

std::vector<std::uint64_t> Summary::counts() const {
    return {archived,
            created,
            updated,
            removed,
            snapshots,
            kernel_sets,
            objects,
            bytes,
            average_set,
            reserve,
            archive_gc_objects,
            archive_gc_bytes,
            boot_gc_objects,
            boot_gc_bytes,
            entries_changed ? 1u : 0u};
}

std::vector<std::uint64_t> summary_counts(const std::string& line) {
    std::vector<std::uint64_t> counts;
    for (std::size_t at = line.find_first_of("0123456789"); at != std::string::npos;
         at = line.find_first_of("0123456789", at)) {
        std::size_t length = 0;
        counts.push_back(std::stoull(line.substr(at), &length));
        at += length;
    }
    counts.push_back(line.ends_with(" updated\n") ? 1 : 0);
    return counts;
}

std::map<std::string, std::string> labelled_values(const std::string& report) {
    std::map<std::string, std::string> values;
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(": ");
        const auto label_end = colon == std::string::npos || colon == 0
                                   ? colon
                                   : line.find_last_not_of(' ', colon - 1);
        if (label_end == std::string::npos || colon == 0) {
            values.emplace(line, "(not a labelled line)");
            continue;
        }
        values.emplace(line.substr(0, label_end + 1), line.substr(colon + 2));
    }
    return values;
}

std::string sha256_of(const fs::path& path) {
    const std::string out = run_on_host({"openssl", "dgst", "-sha256", "-r", path.string()});
    return out.substr(0, out.find(' '));
}

void MachineTest::SetUp() {
    SKIP_WITHOUT_SANDBOX();
    sandbox_.emplace();
    binary_ = sandbox_->install_binary();
    prepare();
}

ProgramResult MachineTest::snapwright(const std::vector<std::string>& arguments,
                                      const std::vector<std::string>& extra_env) const {
    std::vector<std::string> argv{binary_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return sandbox_->run(argv, extra_env);
}

void MachineTest::expect_summary(const ProgramResult& result, const Summary& expected) {
    ASSERT_EQ(result.exit_code, 0) << describe(result);
    EXPECT_TRUE(result.out.starts_with("Archived ")) << result.out;
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << result.out;
    EXPECT_EQ(summary_counts(result.out), expected.counts()) << result.out;
    EXPECT_EQ(result.err, "");
}

EntrySpec MachineTest::standard_entry() {
    EntrySpec wanted;
    wanted.kernel_size = 6144;
    wanted.microcode_size = 1536;
    wanted.initrd_size = 24576;
    return wanted;
}

SourceEntry MachineTest::write_source_entry(const EntrySpec& wanted) {
    SourceEntry source;
    source.wanted = wanted;
    source.written = sandbox_->write_entry(wanted);
    const auto digest = [&](const std::string& boot_path) {
        return sha256_of(sandbox_->in_root("/boot" + boot_path));
    };
    source.kernel = digest(source.written.kernel);
    source.initrd = digest(source.written.initrds.back());
    if (wanted.microcode_size > 0) {
        source.microcode = digest(source.written.initrds.front());
    }
    return source;
}

Snapshot MachineTest::take_snapshot(int number) {
    Snapshot snapshot;
    snapshot.number = number;
    const std::string relative = "@/.snapshots/" + std::to_string(number) + "/snapshot";
    snapshot.uuid = sandbox_->create_snapshot(relative);
    const ProgramResult show =
        sandbox_->run({"btrfs", "subvolume", "show", "/" + relative.substr(2)});
    snapshot.created = subvolume_show_values(show.out)["Creation time"];
    EXPECT_FALSE(snapshot.created.empty()) << describe(show);
    return snapshot;
}

std::vector<Snapshot> MachineTest::take_snapshots(int count) {
    std::vector<Snapshot> snapshots;
    for (int number = 1; number <= count; ++number) {
        snapshots.push_back(take_snapshot(number));
    }
    return snapshots;
}

void MachineTest::delete_snapshot(int number) const {
    run_on_host(
        {"btrfs", "-q", "subvolume", "delete",
         sandbox_->in_top_level("@/.snapshots/" + std::to_string(number) + "/snapshot").string()});
}

std::string MachineTest::boot_path(const std::string& digest) const {
    return "/snapwright/" + machine_id() + "/objects/sha256/" + digest.substr(0, 2) + "/" + digest;
}

fs::path MachineTest::boot_store() const {
    return sandbox_->in_root("/boot/snapwright/" + machine_id());
}

fs::path MachineTest::archive_store() const {
    return sandbox_->in_root("/var/lib/snapwright/" + machine_id());
}

fs::path MachineTest::entry_directory() const {
    return sandbox_->in_root("/boot/loader/entries");
}

std::map<std::string, std::uint64_t> MachineTest::stored_objects(const fs::path& store) {
    std::map<std::string, std::uint64_t> objects;
    const fs::path root = store / "objects/sha256";
    if (!fs::is_directory(root)) {
        return objects;
    }
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            objects.emplace(entry.path().filename().string(), entry.file_size());
        }
    }
    return objects;
}

std::string MachineTest::entry_name(const Snapshot& snapshot, int profile) const {
    return "snapwright-" + machine_id() + "-" + sandbox_->filesystem_uuid() + "-btrfs-root-" +
           snapshot.uuid + "-" + std::to_string(profile) + ".conf";
}

std::string MachineTest::entry_text(const Snapshot& snapshot, const SourceEntry& source) const {
    std::string text =
        "# Generated by snapwright\n# provider=btrfs\n# snapshot-id=" + snapshot.uuid +
        "\n# subvolume=" + snapshot.subvolume() + "\ntitle      Sandbox Linux 1.0 Snapshot " +
        std::to_string(snapshot.number) + " - " + source.profile_name() + "\nversion    " +
        snapshot.created + "\nmachine-id " + machine_id() + "\nsort-key   snapwright\nlinux      " +
        boot_path(source.kernel) + "\n";
    if (source.microcode) {
        text += "initrd     " + boot_path(*source.microcode) + "\n";
    }
    text += "initrd     " + boot_path(source.initrd) + "\n";
    text += "options    root=UUID=" + sandbox_->filesystem_uuid() +
            " rootflags=subvol=" + snapshot.subvolume() + " rw quiet\n";
    return text;
}

std::map<std::string, std::string> MachineTest::generated_entries() const {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::directory_iterator(entry_directory())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("snapwright-")) {
            entries.emplace(name, read_file(entry.path()));
        }
    }
    return entries;
}

std::string MachineTest::bootctl_list(std::source_location where) const {
    const ::testing::ScopedTrace caller(where.file_name(), static_cast<int>(where.line()), "");
    const ProgramResult list = sandbox_->run(
        {"bootctl", "--esp-path=/boot", "--no-variables", "list"}, {"SYSTEMD_RELAX_ESP_CHECKS=1"});
    EXPECT_EQ(list.exit_code, 0) << describe(list);
    // bootctl marks every file it cannot open after the path.
    for (const char* complaint : {"No such file", "missing", "not found"}) {
        EXPECT_EQ(list.out.find(complaint), std::string::npos) << list.out;
    }
    EXPECT_EQ(list.err.find("rror"), std::string::npos) << list.err;
    return list.out;
}

std::uint64_t MachineTest::boot_free_bytes() const {
    struct statvfs st {};
    if (::statvfs(sandbox_->in_root("/boot").c_str(), &st) != 0) {
        ADD_FAILURE() << "statvfs of the boot filesystem failed";
        return 0;
    }
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

void MachineTest::expect_nothing_held() const {
    const fs::path runtime = sandbox_->in_root("/run/snapwright");
    if (fs::exists(runtime)) {
        for (const auto& entry : fs::directory_iterator(runtime)) {
            EXPECT_FALSE(entry.path().filename().string().starts_with("top-level-"))
                << "mount point left behind: " << entry.path();
        }
    }
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        EXPECT_EQ(line.find(runtime.string()), std::string::npos) << line;
    }
    const fs::path lock = sandbox_->in_root("/run/lock/boot-partition.lock");
    const int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "no lock file at " << lock;
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the boot partition lock is still held";
    ::close(fd);
}

bool MachineTest::detached_runs_ended(std::chrono::milliseconds limit) const {
    const fs::path installed = sandbox_->in_root(binary_);
    const auto running = [&] {
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::error_code error;
            if (fs::read_symlink(entry.path() / "exe", error) == installed && !error) {
                return true;
            }
        }
        return false;
    };
    return eventually([&] { return !running(); }, limit);
}

}  // namespace snapwright::testing
