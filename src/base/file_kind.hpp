#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace snapwright::base {

enum class FileKind { Absent, Directory, Regular, Symlink, Other };

// What is at a name, judged without following a final symbolic link.
struct FileInfo {
    FileKind kind = FileKind::Absent;
    std::uint64_t size = 0;

    bool absent() const { return kind == FileKind::Absent; }
    bool directory() const { return kind == FileKind::Directory; }
    bool regular() const { return kind == FileKind::Regular; }
    bool symlink() const { return kind == FileKind::Symlink; }
};

// lstat(2) of `path`: Absent when nothing is there (ENOENT); any other failure throws `message`
// ("I/O operation failed" by default) with the OS error as cause.
FileInfo inspect(const std::filesystem::path& path,
                 const std::string& message = "I/O operation failed");
// The same for `name` in the directory open at `directory`.
FileInfo inspect_at(int directory, const std::string& name,
                    const std::string& message = "I/O operation failed");
// lstat(2), and stat(2) following links, for callers to whom every failure means "not there".
FileKind kind_or_absent(const std::filesystem::path& path);
FileKind followed_kind_or_absent(const std::filesystem::path& path);

}  // namespace snapwright::base
