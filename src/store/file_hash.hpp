#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace snapwright::store {

// SHA-256 of a file's content as 64 lower-case hexadecimal digits, read in 128 KiB chunks
// through one buffer. Throws "open {} for hashing" with the OS error when the file cannot be
// opened, "I/O operation failed" when a read fails.
std::string hash_file(const std::filesystem::path& path);

struct DescriptorHash {
    std::string digest;
    // How many bytes were read and hashed.
    std::uint64_t size = 0;
};

// Hashes an open descriptor from its current position to the end.
DescriptorHash hash_descriptor(int fd);

// Hashes the `length` bytes at `offset` of an open descriptor, leaving its position alone; a file
// that ends before them is an I/O error.
DescriptorHash hash_descriptor_range(int fd, std::uint64_t offset, std::uint64_t length);

}  // namespace snapwright::store
