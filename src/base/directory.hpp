#pragma once

#include <dirent.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "base/file_kind.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::base {

// One name in a directory with what is there, judged without following a link.
struct DirectoryEntry {
    std::string name;
    FileKind kind = FileKind::Other;
};

// Owns one open directory stream and closes it on destruction. Move-only.
class Directory {
  public:
    // Opens `path` (a link to a directory is followed); throws "I/O operation failed".
    static Directory open(const std::filesystem::path& path);
    // Reads the directory open at `fd` from its start, through a descriptor of its own: `fd`
    // stays the caller's and its position is left alone. Throws "I/O operation failed".
    static Directory open_at(int fd);
    // Reads the directory open at `fd`, which it takes over: the stream and `fd()` share one
    // descriptor, so nothing is opened twice. Throws "I/O operation failed" when `fd` is empty
    // (with the errno its opener left) or cannot be read as a directory.
    static Directory adopt(UniqueFd fd);

    Directory(Directory&& other) noexcept : stream_(std::exchange(other.stream_, nullptr)) {}
    Directory& operator=(Directory&&) = delete;
    Directory(const Directory&) = delete;
    ~Directory();

    // Every name but "." and "..", in no particular order, read to the end; a failed read
    // throws "I/O operation failed".
    std::vector<std::string> names();
    // The same names with their kinds, taken from what the listing itself reports; only a
    // name whose kind it leaves unknown is looked at (lstat), and one gone by then is left out.
    // A failed read or look throws "I/O operation failed".
    std::vector<DirectoryEntry> entries();
    // The descriptor of the directory, for openat-style calls on its names; owned by the stream.
    int fd() const;

  private:
    explicit Directory(DIR* stream) : stream_(stream) {}
    DIR* stream_;
};

// The names in a directory, as `Directory::names` reads them.
std::vector<std::string> list_directory(const std::filesystem::path& directory);
std::vector<std::string> list_directory_at(int fd);

}  // namespace snapwright::base
