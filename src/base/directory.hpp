#pragma once

#include <dirent.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace snapwright::base {

// Owns one open directory stream and closes it on destruction. Move-only.
class Directory {
  public:
    // Opens `path` (a link to a directory is followed); throws "I/O operation failed".
    static Directory open(const std::filesystem::path& path);
    // Reads the directory open at `fd` from its start, through a descriptor of its own: `fd`
    // stays the caller's and its position is left alone. Throws "I/O operation failed".
    static Directory open_at(int fd);

    Directory(Directory&& other) noexcept : stream_(std::exchange(other.stream_, nullptr)) {}
    Directory& operator=(Directory&&) = delete;
    Directory(const Directory&) = delete;
    ~Directory();

    // Every name but "." and "..", in no particular order, read to the end; a failed read
    // throws "I/O operation failed".
    std::vector<std::string> names();

  private:
    explicit Directory(DIR* stream) : stream_(stream) {}
    DIR* stream_;
};

// The names in a directory, as `Directory::names` reads them.
std::vector<std::string> list_directory(const std::filesystem::path& directory);
std::vector<std::string> list_directory_at(int fd);

}  // namespace snapwright::base
