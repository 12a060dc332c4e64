#pragma once

#include <cstdint>
#include <filesystem>

namespace snapwright::system {

// blocks * fragment_size, or "filesystem free-space value overflow".
std::uint64_t available_bytes(std::uint64_t blocks, std::uint64_t fragment_size);

// The bytes available to unprivileged users on the filesystem holding `path` (statvfs). Fails
// with "path contains a NUL byte: {}", "read filesystem free space" and the OS error, or the
// overflow message.
std::uint64_t free_space(const std::filesystem::path& path);

}  // namespace snapwright::system
