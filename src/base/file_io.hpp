#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.hpp"

namespace snapwright::base {

// read(2) that retries when interrupted by a signal: the byte count, 0 at the end, or -1 with
// errno set for any other failure.
ssize_t read_retrying(int fd, void* buffer, std::size_t size);
// pread(2) with the same rule.
ssize_t pread_retrying(int fd, void* buffer, std::size_t size, off_t offset);

// Everything from the descriptor's position to its end. A failed read throws `message` with the
// OS error as cause; none when there are more than `limit` bytes (reading stops one byte past
// the limit).
std::optional<std::string> read_all(int fd, std::size_t limit, const std::string& message);

// Up to `size` bytes from the descriptor's position, fewer only at its end, into a string of
// that size at once; throws "I/O operation failed" with the OS error.
std::string read_at_most(int fd, std::size_t size);

// Writes every byte, retrying short and interrupted writes; throws "I/O operation failed".
void write_all(int fd, std::string_view bytes);

// fsync(2); throws "I/O operation failed" with the OS error.
void fsync_or_throw(int fd);

// Opens `directory` read-only as a directory (O_CLOEXEC plus `extra_flags`, e.g. O_NOFOLLOW).
// An invalid descriptor with errno set when it cannot be opened.
UniqueFd open_directory(const std::filesystem::path& directory, int extra_flags = 0);

// Opens `directory` and fsyncs it; throws "I/O operation failed" with the OS error.
void sync_directory(const std::filesystem::path& directory);

// Writes back everything written to the filesystem of `directory` (syncfs), then fsyncs the
// directory, which on FAT is what flushes the drive's cache. On FAT an fsync of a directory
// alone can miss its own changed sectors: a sector that was first made dirty on behalf of another
// directory (its parent, when the directory was created) stays that directory's to write.
void sync_filesystem_of(const std::filesystem::path& directory);

}  // namespace snapwright::base
