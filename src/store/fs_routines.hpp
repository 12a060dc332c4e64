#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/unique_fd.hpp"

namespace snapwright::store {

namespace fs = std::filesystem;

// A file created exclusively in a directory under a name of its own; unlinked on destruction
// unless `keep` was called (after its successful rename). When it was created through a
// directory descriptor, the unlink goes through that same descriptor, so a directory renamed or
// swapped meanwhile cannot redirect it.
class TemporaryFile {
  public:
    TemporaryFile(base::UniqueFd fd, fs::path path) : fd_(std::move(fd)), path_(std::move(path)) {}
    // `directory` is a descriptor of the directory that holds the file (borrowed: it must stay
    // open for the life of this object).
    TemporaryFile(base::UniqueFd fd, fs::path path, int directory)
        : fd_(std::move(fd)), path_(std::move(path)), directory_(directory) {}
    TemporaryFile(TemporaryFile&& other) noexcept
        : fd_(std::move(other.fd_)),
          path_(std::move(other.path_)),
          directory_(other.directory_),
          kept_(std::exchange(other.kept_, true)) {}
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
    int directory_ = -1;
    bool kept_ = false;
};

// Creates D/"." + name + ".tmp-" + pid + "-" + n with mode 0600 for the first n = 0..999 that
// does not exist yet (exclusive creation, never through a symbolic link). Throws "cannot
// allocate a temporary file name" when all 1000 exist, "create temporary file {}" with the OS
// error for any other failure.
TemporaryFile create_temporary_file(const fs::path& directory, const std::string& name);

// The final name that `name` is a temporary for, when `name` has exactly the form that
// create_temporary_file and the atomic writers give their temporaries: "." + final name +
// ".tmp-" + decimal process ID + "-" + decimal attempt; nothing for any other name.
std::optional<std::string_view> temporary_target(std::string_view name);

// Removes the regular files directly in `directory` whose names are temporaries (above) for a
// final name that `accept` approves: what an interrupted atomic write left behind. Symbolic
// links, directories, FIFOs and every other name stay. A missing directory is fine; a symbolic
// link in its place is not followed and nothing is removed. Syncs the directory after removing.
// Returns how many files were removed; failures are I/O errors.
std::size_t remove_temporaries(const fs::path& directory,
                               const std::function<bool(std::string_view)>& accept);

// Replaces `target` by a copy of `source` (an object file, opened without following a link):
// temporary in the target's directory, stream copy, fsync, rename, fsync of the directory. The
// target's directory must be a real directory ("object parent is not a directory: {}"). After
// a failure `target` is unchanged and no temporary file remains.
void copy_file_atomically(const fs::path& source, const fs::path& target);

// The same with an open source descriptor; the copy starts at offset 0 and leaves the
// descriptor's file position alone.
void copy_descriptor_atomically(int source, const fs::path& target);

// Replaces `target` by `bytes` with permission bits `mode`, creating missing parent directories.
// After a failure `target` is unchanged and no temporary file remains.
void write_file_atomically(const fs::path& target, std::string_view bytes, unsigned mode);

// Makes sure root/relative exists as a chain of real directories, creating what is missing;
// refuses symbolic links on the way (a link swapped in while walking is refused too). Returns
// root joined with relative.
fs::path ensure_directory(const fs::path& root, const fs::path& relative);

// Removes `directory` when it is empty and fsyncs its parent.
void remove_empty_directory(const fs::path& directory);

// Opens `directory` and fsyncs it; throws "I/O operation failed" with the OS error.
void sync_directory(const fs::path& directory);

}  // namespace snapwright::store
