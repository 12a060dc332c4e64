#pragma once

#include <filesystem>
#include <string>

namespace snapwright::base {

// Reads a whole file as UTF-8 text. A failure to open or read, and content that is not valid
// UTF-8, throw `message` with the I/O error as cause ("I/O operation failed" by default).
// Follows symbolic links; callers that must not follow one check with lstat first.
std::string read_text_file(const std::filesystem::path& path,
                           const std::string& message = "I/O operation failed");

// Reads a whole file as bytes, with the same error rule.
std::string read_file_bytes(const std::filesystem::path& path,
                            const std::string& message = "I/O operation failed");

}  // namespace snapwright::base
