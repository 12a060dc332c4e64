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

#include <gtest/gtest.h>

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
using testing::ScratchDir;
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
    LockHolder(const fs::path& path, std::chrono::milliseconds hold) {
        int ready[2];
        if (::pipe(ready) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(path.c_str(), O_RDONLY);
            const bool locked = fd >= 0 && ::flock(fd, LOCK_EX) == 0;
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
        struct stat status {};
        ASSERT_EQ(::stat(lock.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
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

TEST_F(BootLockTest, RefusesWhatAnotherUserCouldHavePlanted) {
    write_file(dir / "target", "");
    fs::create_symlink(dir / "target", lock);
    EXPECT_EQ(error_of([&] { (void)acquire_lock_file(lock, 1s); }),
              "open " + lock.string() + ": Too many levels of symbolic links (os error 40)");
    fs::remove(lock);

    fs::create_symlink(dir / "dangling-target", lock);
    EXPECT_EQ(error_of([&] { (void)acquire_lock_file(lock, 1s); }),
              "open " + lock.string() + ": Too many levels of symbolic links (os error 40)");
    EXPECT_FALSE(fs::exists(dir / "dangling-target"));
    fs::remove(lock);

    // A FIFO without a reader must not hang the open.
    ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
    EXPECT_EQ(error_of([&] { (void)acquire_lock_file(lock, 1s); }),
              "open " + lock.string() + ": No such device or address (os error 6)");
    fs::remove(lock);

    write_file(lock, "");
    ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
    EXPECT_EQ(error_of([&] { (void)acquire_lock_file(lock, 1s); }),
              "lock file is not a regular file owned by root: " + lock.string());
}

TEST(BootLockOwnership, FileOfAnOrdinaryUserIsRefused) {
    ScratchDir dir;
    EXPECT_EQ(testing::run_as_ordinary_user(dir.path(),
                                            [&] {
                                                (void)acquire_lock_file(dir / "lock", 1s);
                                                return std::string("acquired");
                                            }),
              "error: lock file is not a regular file owned by root: " + (dir / "lock").string());
}

}  // namespace
}  // namespace snapwright::system
