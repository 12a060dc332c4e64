#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

#include "base/unique_fd.hpp"

namespace snapwright::system {

// An exclusive flock on the boot partition lock file, held until destruction (or
// release_boot_lock), which unlocks and closes. Process exit drops the lock as well. Move-only.
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

// Takes "/run/lock/boot-partition.lock" (creating "/run/lock" when missing), polling every
// 100 ms for up to 30 s. Fails with "I/O operation failed" (directory), "open {}" with the OS
// error, "lock file is not a regular file owned by root: {}" (the file is in a world-writable
// directory, so a link, a FIFO or another user's file there is refused) or "timed out waiting
// for {}".
[[nodiscard]] BootLock acquire_boot_lock();

// The same on `lock_path` (whose directory must exist) with a deadline of `timeout` from now.
[[nodiscard]] BootLock acquire_lock_file(const std::filesystem::path& lock_path,
                                         std::chrono::milliseconds timeout);

// Asked between attempts while the lock is held elsewhere; true stops the waiting.
using GiveUpCheck = std::function<bool()>;

// acquire_boot_lock for a run that may become pointless while it waits: before every retry
// `give_up` is asked, and when it answers true the wait ends without the lock (nothing).
// Its errors end the wait as well.
[[nodiscard]] std::optional<BootLock> acquire_boot_lock(const GiveUpCheck& give_up);

// The same on `lock_path` with a deadline of `timeout` from now.
[[nodiscard]] std::optional<BootLock> acquire_lock_file(const std::filesystem::path& lock_path,
                                                        std::chrono::milliseconds timeout,
                                                        const GiveUpCheck& give_up);

// Unlocks and closes now; any failure is ignored.
void release_boot_lock(BootLock lock);

}  // namespace snapwright::system
