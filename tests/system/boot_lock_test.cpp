#include "system/boot_lock.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "base/text_file.hpp"
#include "support/child_process.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::system {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::error_of;
using testing::mode_of;
using testing::ScratchDir;
using testing::status_of;
using testing::write_file;

bool can_lock(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return locked;
}

// Another process holding the lock: it takes the flock, reports that it has it, and lets go
// after `hold` (or when killed).
class LockHolder {
  public:
    LockHolder(const fs::path& path, std::chrono::milliseconds hold, int operation = LOCK_EX) {
        int ready[2];
        if (::pipe(ready) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(path.c_str(), O_RDONLY);
            const bool locked = fd >= 0 && ::flock(fd, operation) == 0;
            (void)::write(ready[1], locked ? "1" : "0", 1);
            ::usleep(static_cast<useconds_t>(hold.count() * 1000));
            ::_exit(0);
        }
        ::close(ready[1]);
        char answer = '0';
        (void)::read(ready[0], &answer, 1);
        ::close(ready[0]);
        locked_ = answer == '1';
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    ~LockHolder() {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    bool locked() const { return locked_; }

  private:
    pid_t pid_ = -1;
    bool locked_ = false;
};

class BootLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root: the lock file must be owned by root";
        }
    }
    ScratchDir dir;
    fs::path lock = dir / "boot-partition.lock";
};

TEST_F(BootLockTest, CreatesWithoutTruncatingAndUnlocksOnDestruction) {
    {
        const BootLock held = acquire_lock_file(lock, 1s);
        EXPECT_FALSE(can_lock(lock));
        EXPECT_EQ(mode_of(lock), 0600u);
    }
    EXPECT_TRUE(can_lock(lock));
    write_file(lock, "kept");
    release_boot_lock(acquire_lock_file(lock, 1s));
    EXPECT_TRUE(can_lock(lock));
    EXPECT_EQ(base::read_text_file(lock), "kept");
}

TEST_F(BootLockTest, RetriesUntilTheHolderReleases) {
    write_file(lock, "");
    const LockHolder holder(lock, 350ms);
    ASSERT_TRUE(holder.locked());
    const auto start = std::chrono::steady_clock::now();
    const BootLock held = acquire_lock_file(lock, 5s);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 3s);
}

TEST_F(BootLockTest, TimesOutWhileAnotherProcessHoldsIt) {
    write_file(lock, "");
    const LockHolder holder(lock, 60s);
    ASSERT_TRUE(holder.locked());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(error_of([&] { (void)acquire_lock_file(lock, 250ms); }),
              "timed out waiting for " + lock.string());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
}

TEST_F(BootLockTest, AWaiterThatGivesUpLeavesWithoutTheLock) {
    write_file(lock, "");
    const LockHolder holder(lock, 60s);
    ASSERT_TRUE(holder.locked());
    int asked = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(acquire_lock_file(lock, 10s, [&] { return ++asked == 3; }));
    EXPECT_EQ(asked, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    // A free lock is taken without asking.
    EXPECT_TRUE(acquire_lock_file(dir / "free.lock", 1s, [&] { return ++asked > 0; }));
    EXPECT_EQ(asked, 3);
}

// The lock directory is world-writable with the sticky bit; whatever another user put at the
// name first is removed and the lock file is made anew, and what the link named stays as it was.
TEST_F(BootLockTest, ReplacesWhatAnotherUserPlanted) {
    fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit);
    write_file(dir / "target", "kept");
    const std::vector<std::pair<std::string, std::function<void()>>> planted{
        {"file", [&] { write_file(lock, "planted", 0666); }},
        {"fifo", [&] { ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0); }},
        {"link", [&] { fs::create_symlink(dir / "target", lock); }},
        {"dangling link", [&] { fs::create_symlink(dir / "absent", lock); }},
        {"empty directory", [&] { fs::create_directory(lock); }},
    };
    for (const auto& [what, plant] : planted) {
        SCOPED_TRACE(what);
        plant();
        ASSERT_EQ(::lchown(lock.c_str(), 65534, 65534), 0);
        {
            const BootLock held = acquire_lock_file(lock, 1s);
            const struct stat status = status_of(lock);
            EXPECT_TRUE(S_ISREG(status.st_mode));
            EXPECT_EQ(status.st_uid, 0u);
            EXPECT_EQ(status.st_mode & 07777, 0600u);
            EXPECT_EQ(status.st_size, 0);
            EXPECT_FALSE(can_lock(lock));
        }
        EXPECT_EQ(base::read_text_file(dir / "target"), "kept");
        EXPECT_FALSE(fs::exists(dir / "absent"));
        fs::remove(lock);
    }

    // What cannot be removed is refused, and left.
    write_file(lock / "inside", "");
    EXPECT_EQ(error_of([&] { (void)acquire_lock_file(lock, 1s); }),
              "lock file is not a regular file owned by root: " + lock.string());
    EXPECT_TRUE(fs::exists(lock / "inside"));
}

// A run that waited while another root run replaced the file holds a lock nobody else looks
// for: it lets go and takes the file that is there now.
TEST_F(BootLockTest, TakesTheFileThatReplacedTheOneItWaitedFor) {
    write_file(lock, "");
    const LockHolder holder(lock, 400ms);
    ASSERT_TRUE(holder.locked());
    std::thread replace([&] {
        std::this_thread::sleep_for(150ms);
        fs::rename(lock, dir / "old.lock");
        write_file(lock, "", 0600);
    });
    const BootLock held = acquire_lock_file(lock, 5s);
    replace.join();
    EXPECT_FALSE(can_lock(lock));
    EXPECT_TRUE(can_lock(dir / "old.lock"));
}

// Readers share the lock with each other and exclude writers both ways, with the same limit;
// without a lock file that a writer could hold they go on unlocked and leave the name alone.
TEST_F(BootLockTest, SharedLockExcludesWritersOnly) {
    write_file(lock, "");
    {
        const LockHolder reader(lock, 60s, LOCK_SH);
        ASSERT_TRUE(reader.locked());
        EXPECT_TRUE(acquire_shared_lock_file(lock, 250ms));
        EXPECT_EQ(error_of([&] { (void)acquire_lock_file(lock, 250ms); }),
                  "timed out waiting for " + lock.string());
    }
    {
        const LockHolder writer(lock, 60s);
        ASSERT_TRUE(writer.locked());
        EXPECT_EQ(error_of([&] { (void)acquire_shared_lock_file(lock, 250ms); }),
                  "timed out waiting for " + lock.string());
    }
    fs::remove(lock);
    EXPECT_FALSE(acquire_shared_lock_file(lock, 250ms));
    EXPECT_FALSE(fs::exists(lock));
    EXPECT_FALSE(acquire_shared_lock_file(dir / "absent/lock", 250ms));

    ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0);
    ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(acquire_shared_lock_file(lock, 250ms));
    EXPECT_EQ(fs::status(lock).type(), fs::file_type::fifo);
}

// As an ordinary user: the reader goes on unlocked where it may not open root's lock file, and
// a writer cannot remove what another user planted in a sticky directory, so it refuses.
TEST(BootLockOrdinaryUser, ReadsUnlockedAndRefusesWhatItCannotReplace) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: to plant files of other users";
    }
    ScratchDir dir;
    const fs::path locks = dir / "locks";
    fs::create_directory(locks);
    fs::permissions(locks, fs::perms::all | fs::perms::sticky_bit);
    write_file(locks / "root.lock", "", 0600);
    write_file(locks / "planted.lock", "", 0666);
    ASSERT_EQ(::chown((locks / "planted.lock").c_str(), 65533, 65533), 0);
    EXPECT_EQ(testing::run_as_ordinary_user(
                  dir.path(),
                  [&] {
                      std::string result;
                      for (const char* name : {"root.lock", "absent.lock"}) {
                          result += acquire_shared_lock_file(locks / name, 250ms) ? "locked "
                                                                                  : "unlocked ";
                      }
                      try {
                          (void)acquire_lock_file(locks / "planted.lock", 1s);
                          return result + "acquired";
                      } catch (const base::AppError& error) {
                          return result + error.display();
                      }
                  }),
              "unlocked unlocked lock file is not a regular file owned by root: " +
                  (locks / "planted.lock").string());
    EXPECT_FALSE(fs::exists(locks / "absent.lock"));
}

TEST(BootLockLimit, OnlyATestCanShortenIt) {
    const std::vector<std::pair<std::optional<std::string>, std::chrono::milliseconds>> cases{
        {std::nullopt, 30s}, {"250", 250ms},
        {"0", 0ms},          {"29999", 29999ms},
        {"30000", 30s},      {"90000", 30s},
        {"", 30s},           {"-5", 30s},
        {"1s", 30s},         {"99999999999999999999999", 30s},
    };
    for (const auto& [value, limit] : cases) {
        const testing::ScopedEnv env("SNAPWRIGHT_TEST_LOCK_LIMIT_MS", value);
        EXPECT_EQ(lock_wait_limit(), limit) << value.value_or("(unset)");
    }
}

}  // namespace
}  // namespace snapwright::system
