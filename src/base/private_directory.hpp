#pragma once

#include <filesystem>

namespace snapwright::base {

// The directories that hold what the program deploys must not be writable by anyone but their
// owner: whoever can add, rename or replace a name in them decides what root boots next.
// Directories are judged without following symbolic links; a link or another file where a
// directory is expected is left to the code that opens the path, which refuses it.

// Throws "refusing group- or world-writable directory {}; fix it with chmod go-w {}" when the
// directory at `path` is writable by its group or by others. Nothing when nothing is there.
void check_private_directory(const std::filesystem::path& path);

// The same for `root` and every directory below it. Failures to read the tree throw
// "I/O operation failed" with the OS error.
void check_private_tree(const std::filesystem::path& root);

}  // namespace snapwright::base
