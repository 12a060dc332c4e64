#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace snapwright::base {

// Reads a whole file as UTF-8 text. A failure to open or read, and content that is not valid
// UTF-8, throw `message` with the I/O error as cause ("I/O operation failed" by default).
// Follows symbolic links; callers that must not follow one check with lstat first.
std::string read_text_file(const std::filesystem::path& path,
                           const std::string& message = "I/O operation failed");

// The same for `name` in the directory open at `directory`, opened without following a symbolic
// link (a link there fails with its ELOOP, as the I/O error).
std::string read_text_file_at(int directory, const std::string& name,
                              const std::string& message = "I/O operation failed");
// Reads a whole file as bytes, with the same error rule.
std::string read_file_bytes(const std::filesystem::path& path,
                            const std::string& message = "I/O operation failed");

// The bytes of `path` when it is a regular file, opened without following a symbolic link and
// without blocking on a FIFO or device, so what is read is what was judged; none when it is a
// link or anything else than a regular file. A failure to open (also "not found") or read throws
// `message` with the OS error.
std::optional<std::string> read_regular_file_no_follow(
    const std::filesystem::path& path, const std::string& message = "I/O operation failed");

// The content of `path` when it is a regular file (a symbolic link is not followed, a FIFO or
// device never blocks) no larger than `max_bytes`; none when it is anything else or cannot be
// read. For callers to whom every failure just means "not there".
std::optional<std::string> read_regular_file_if_present(const std::filesystem::path& path,
                                                        std::size_t max_bytes);
// The same for `name` in the directory open at `directory`.
std::optional<std::string> read_regular_file_if_present_at(int directory, const std::string& name,
                                                           std::size_t max_bytes);

// Whether `name` in the directory open at `directory` is a regular file (not followed, never
// blocking) that holds exactly `expected`. Judged by its size first, so a file of another size
// is not read, and then by that many bytes; a file that cannot be opened or read does not hold
// it. For callers that only decide whether a rewrite can be skipped: a file that changes while
// it is judged may be judged either way.
bool regular_file_holds_at(int directory, const std::string& name, std::string_view expected);

}  // namespace snapwright::base
