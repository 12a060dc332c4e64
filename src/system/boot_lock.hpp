#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

#include "base/unique_fd.hpp"

namespace snapwright::system {

// A flock on the boot partition lock file (exclusive for the writers, shared for readers), held
// until destruction (or release_boot_lock), which unlocks and closes. Process exit drops the
// lock as well. Move-only.
class BootLock {
  public:
    explicit BootLock(base::UniqueFd fd) : fd_(std::move(fd)) {}
    BootLock(BootLock&&) noexcept = default;
    BootLock& operator=(BootLock&&) = delete;
    BootLock(const BootLock&) = delete;
    ~BootLock();

  private:
    base::UniqueFd fd_;
};

// How long a bounded wait for the lock lasts: 30 s. A test may shorten it (never lengthen it)
// with the environment variable SNAPWRIGHT_TEST_LOCK_LIMIT_MS, so that it need not wait the
// whole limit out; any other value of it is ignored.
[[nodiscard]] std::chrono::milliseconds lock_wait_limit();

// Takes "/run/lock/boot-partition.lock" exclusively (creating "/run/lock" when missing),
// polling every 100 ms for up to lock_wait_limit(). The lock directory is world-writable, so
// whatever another user put at the name (a file, a FIFO, a link) is removed and the file is
// created anew, never following a link; only a root-owned regular file or the one this run
// created is locked. A lock file that was replaced while this run waited for it is let go and
// the new one is taken. Fails with "I/O operation failed" (directory), "open {}" with the OS
// error, "lock file is not a regular file owned by root: {}" (what is there cannot be removed,
// such as a directory with something in it) or "timed out waiting for {}".
[[nodiscard]] BootLock acquire_boot_lock();

// The same on `lock_path` (whose directory must exist) with a deadline of `timeout` from now.
[[nodiscard]] BootLock acquire_lock_file(const std::filesystem::path& lock_path,
                                         std::chrono::milliseconds timeout);

// Asked between attempts while the lock is held elsewhere; true stops the waiting.
using GiveUpCheck = std::function<bool()>;

// acquire_boot_lock for a run that may become pointless while it waits: it waits with no
// deadline, and before every retry `give_up` is asked; when it answers true the wait ends
// without the lock (nothing). Its errors end the wait as well.
[[nodiscard]] std::optional<BootLock> acquire_boot_lock(const GiveUpCheck& give_up);

// The same on `lock_path`, with a deadline of `timeout` from now unless it is nothing.
[[nodiscard]] std::optional<BootLock> acquire_lock_file(
    const std::filesystem::path& lock_path, std::optional<std::chrono::milliseconds> timeout,
    const GiveUpCheck& give_up);

// The lock of a reader, shared with other readers and excluding the writers, with the same
// bounded wait and the same "open {}" and "timed out waiting for {}" failures. It never
// creates or replaces anything, so an ordinary user can read: it answers nothing, and the
// reader goes on without the lock, when there is no root-owned regular lock file (no writer
// holds one then: a writer makes the file before it locks it) or when this user may not open
// it (root's file has mode 0600, so that no ordinary user can hold the writers off with it).
[[nodiscard]] std::optional<BootLock> acquire_shared_boot_lock();

// The same on `lock_path` with a deadline of `timeout` from now.
[[nodiscard]] std::optional<BootLock> acquire_shared_lock_file(
    const std::filesystem::path& lock_path, std::chrono::milliseconds timeout);

// Unlocks and closes now; any failure is ignored.
void release_boot_lock(BootLock lock);

}  // namespace snapwright::system
