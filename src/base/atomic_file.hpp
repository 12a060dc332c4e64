#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/unique_fd.hpp"

namespace snapwright::base {

namespace fs = std::filesystem;

// A file created exclusively in a directory under a name of its own; unlinked on destruction
// unless `keep` was called (after its successful rename). When it was created through a
// directory descriptor, the unlink goes through that same descriptor, so a directory renamed or
// swapped meanwhile cannot redirect it.
class TemporaryFile {
  public:
    TemporaryFile(UniqueFd fd, fs::path path) : fd_(std::move(fd)), path_(std::move(path)) {}
    // `directory` is a descriptor of the directory that holds the file (borrowed: it must stay
    // open for the life of this object).
    TemporaryFile(UniqueFd fd, fs::path path, int directory)
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
    UniqueFd& descriptor() { return fd_; }
    const fs::path& path() const { return path_; }
    void keep() { kept_ = true; }

  private:
    UniqueFd fd_;
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
// `keep`, when given, is asked about each file about to be removed (with the directory's
// descriptor, the file's name and its final name) and spares the ones it answers true for.
// Returns how many files were removed; failures are I/O errors. `remaining`, when given, receives
// how many of the names listed were not removed (0 for a missing directory), so a caller that
// would remove the directory when empty can skip the attempt its own listing already answers.
using KeepTemporary =
    std::function<bool(int directory, const std::string& name, std::string_view target)>;
std::size_t remove_temporaries(const fs::path& directory,
                               const std::function<bool(std::string_view)>& accept,
                               const KeepTemporary& keep = {}, std::size_t* remaining = nullptr);

// Removes the empty directories directly in `directory` whose names are temporaries (above) for
// a final name that `accept` approves: what an interrupted NewDirectory::Renamed creation
// (base/directory_chain.hpp) left behind. Anything else stays, a symbolic link is not followed,
// and a missing directory is fine. A temporary directory that cannot be removed (not empty, or
// unreadable after fsck.vfat repaired a torn creation) stays too, and so does one whose final
// name exists on a filesystem without a journal (FAT: a torn rename may have left the two names
// on one cluster chain); their paths are returned, for a warning: a temporary is never walked,
// so it is in no one's way. Syncs the directory after removing.
std::vector<fs::path> remove_directory_temporaries(
    const fs::path& directory, const std::function<bool(std::string_view)>& accept);

// The same for every level of the chain root/relative: in root and in each directory of the
// chain, the temporaries for the next name of the chain (and in the last, none).
std::vector<fs::path> remove_chain_temporaries(const fs::path& root, const fs::path& relative);

// Replaces `target` by a copy of `source` (an object file, opened without following a link):
// temporary in the target's directory, stream copy, fsync, rename, fsync of the directory. The
// target's directory must be a real directory ("object parent is not a directory: {}"). After
// a failure `target` is unchanged and no temporary file remains.
void copy_file_atomically(const fs::path& source, const fs::path& target);

// The same with an open source descriptor; the copy starts at offset 0 and leaves the
// descriptor's file position alone.
void copy_descriptor_atomically(int source, const fs::path& target);

// The same with the `length` bytes at `offset` of an open source descriptor (a section of a
// larger file). A source that ends before them is an I/O error; `target` is then unchanged.
void copy_range_atomically(int source, std::uint64_t offset, std::uint64_t length,
                           const fs::path& target);

// Replaces `target` by `bytes` with permission bits `mode`, creating missing parent directories.
// After a failure `target` is unchanged and no temporary file remains.
void write_file_atomically(const fs::path& target, std::string_view bytes, unsigned mode);

// Atomic replacement of many files at the cost of a few syncs for all of them: `add` writes each
// new content to a temporary beside its target; `commit` makes the temporaries durable, renames
// each over its target in the order they were added and makes the renames durable. After a crash
// or a failure every target holds its old or its new complete content, as with
// write_file_atomically; the temporaries not renamed are removed when the batch is destroyed.
// Each directory stays open until the batch is committed or destroyed.
class AtomicWriteBatch {
  public:
    // How the temporaries are made durable before the first rename, and the renames after the
    // last: `EachFile` syncs every temporary and then every directory once; `WholeFilesystem`
    // syncs the filesystem of the directories (syncfs) once before and once after the renames,
    // however many files there are, which also flushes what others wrote to it meanwhile. Each
    // syncfs is followed by an fsync of one of the batch's directories on that filesystem: on
    // FAT, whose syncfs only hands the blocks to the drive, that fsync is what flushes the
    // drive's cache, so no rename can reach the medium before the data it names.
    enum class Sync { EachFile, WholeFilesystem };

    explicit AtomicWriteBatch(Sync sync) : sync_(sync) {}
    AtomicWriteBatch(const AtomicWriteBatch&) = delete;
    AtomicWriteBatch& operator=(const AtomicWriteBatch&) = delete;

    // Writes `bytes` with permission bits `mode` to a temporary beside `target`, creating missing
    // parent directories as write_file_atomically does. `target` must not be added twice.
    void add(const fs::path& target, std::string_view bytes, unsigned mode);

    // The number of directories the added files lie in.
    std::size_t directories() const { return directories_.size(); }

    // The number of files added since the last commit.
    std::size_t staged() const { return staged_.size(); }

    // Drops the files added after the first `count` (their temporaries are removed now), so
    // that a caller whose later step failed can still commit what it staged before it.
    void discard_after(std::size_t count);

    // Renames every temporary over its target. `before_rename`, when given, is called with each
    // target just before its rename and may throw to stop there; the targets renamed until then
    // keep their new content. The batch is empty afterwards and can be used again.
    void commit(const std::function<void(const fs::path& target)>& before_rename = {});

  private:
    struct Staged {
        int directory;  // owned by directories_
        fs::path target;
        TemporaryFile temporary;
    };

    void sync_filesystems() const;

    Sync sync_;
    // Declared before the staged files: a temporary is unlinked through its directory's
    // descriptor, so the directories must outlive it.
    std::map<fs::path, UniqueFd> directories_;
    std::vector<Staged> staged_;
};

}  // namespace snapwright::base
