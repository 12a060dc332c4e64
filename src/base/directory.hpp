#pragma once

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

// Owns one open directory and closes it on destruction. Move-only. The names are read straight
// from the kernel into a buffer on the stack: a directory stream would allocate a buffer of its
// own and look at the descriptor twice more, for each of thousands of small directories.
class Directory {
  public:
    // Opens `path` (a link to a directory is followed); throws "I/O operation failed".
    static Directory open(const std::filesystem::path& path);
    // Reads the directory open at `fd` from its start, through a descriptor of its own: `fd`
    // stays the caller's and its position is left alone. Throws "I/O operation failed".
    static Directory open_at(int fd);
    // Reads the directory open at `fd`, which it takes over, so nothing is opened twice.
    // Throws "I/O operation failed" when `fd` is empty (with the errno its opener left); a
    // descriptor that is no directory fails the first read instead.
    static Directory adopt(UniqueFd fd);

    Directory(Directory&& other) noexcept = default;
    Directory& operator=(Directory&&) = delete;
    Directory(const Directory&) = delete;
    ~Directory() = default;

    // Every name but "." and "..", in no particular order, read to the end; a failed read
    // throws "I/O operation failed".
    std::vector<std::string> names();
    // The same names with their kinds, taken from what the listing itself reports; only a
    // name whose kind it leaves unknown is looked at (lstat), and one gone by then is left out.
    // A failed read or look throws "I/O operation failed".
    std::vector<DirectoryEntry> entries();
    // The descriptor of the directory, for openat-style calls on its names; owned by this.
    int fd() const { return fd_.get(); }

  private:
    explicit Directory(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

// The names in a directory, as `Directory::names` reads them.
std::vector<std::string> list_directory(const std::filesystem::path& directory);
std::vector<std::string> list_directory_at(int fd);

}  // namespace snapwright::base
