#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "base/unique_fd.hpp"

namespace snapwright::store {

namespace fs = std::filesystem;

// A file created exclusively in a directory under a name of its own; unlinked on destruction
// unless `keep` was called (after its successful rename).
class TemporaryFile {
public:
    TemporaryFile(base::UniqueFd fd, fs::path path) : fd_(std::move(fd)), path_(std::move(path)) {}
    TemporaryFile(TemporaryFile&&) noexcept = default;
    TemporaryFile& operator=(TemporaryFile&&) = delete;
    TemporaryFile(const TemporaryFile&) = delete;
    ~TemporaryFile();

    int fd() const { return fd_.get(); }
    base::UniqueFd& descriptor() { return fd_; }
    const fs::path& path() const { return path_; }
    void keep() { kept_ = true; }

private:
    base::UniqueFd fd_;
    fs::path path_;
    bool kept_ = false;
};

// Creates D/"." + name + ".tmp-" + pid + "-" + n with mode 0600 for n = 0..999.
TemporaryFile create_temporary_file(const fs::path& directory, const std::string& name);

// Replaces `target` by a copy of `source` (an object file): temporary in the target's directory,
// stream copy, fsync, rename, fsync of the directory.
void copy_file_atomically(const fs::path& source, const fs::path& target);

// Replaces `target` by `bytes` with permission bits `mode`, creating missing parent directories.
void write_file_atomically(const fs::path& target, std::string_view bytes, unsigned mode);

// Makes sure root/relative exists as a chain of real directories, creating what is missing;
// refuses symbolic links on the way. Returns root joined with relative.
fs::path ensure_directory(const fs::path& root, const fs::path& relative);

// Removes `directory` when it is empty and fsyncs its parent.
void remove_empty_directory(const fs::path& directory);

// Opens `directory` and fsyncs it; throws "I/O operation failed" with the OS error.
void sync_directory(const fs::path& directory);

}  // namespace snapwright::store
