#pragma once

#include <filesystem>
#include <string_view>

namespace snapwright::base {

// The directories that hold what the program deploys must not be writable by anyone but their
// owner: whoever can add, rename or replace a name in them decides what root boots next.
// Directories are judged without following symbolic links; a link or another file where a
// directory is expected is left to the code that opens the path, which refuses it.

// Throws "refusing group- or world-writable directory {}; fix it with chmod go-w {}" when the
// directory at `path` is writable by its group or by others. Nothing when nothing is there.
void check_private_directory(const std::filesystem::path& path);

// The same for `root` and every directory below it; with `not_below`, the directory of that
// name directly in `root` is checked but what lies below it is not (its reader checks each
// directory as it opens it). Failures to read the tree throw "I/O operation failed" with the
// OS error.
void check_private_tree(const std::filesystem::path& root, std::string_view not_below = {});

// For a reader that checks each directory as it opens it: whether the directory open at `fd` is
// writable by its group or by others ("I/O operation failed" when it cannot be looked at), and
// the refusal to throw for such a directory at `path`.
bool is_shared_writable(int fd);
[[noreturn]] void refuse_shared_directory(const std::filesystem::path& path);

}  // namespace snapwright::base
