#pragma once

#include <filesystem>
#include <string>

namespace snapwright::base {

// Removes `path` and everything below it without following symbolic links: a link is removed
// itself, never what it points to. When `last_entry` is not empty and `path` is a directory,
// that top-level entry is removed only after every other entry is gone and that removal has been
// synced, so an interruption leaves it in place until the very end. Does not sync the parent of
// `path`; the caller does. An absent `path` is fine. Failures are I/O errors.
void remove_tree(const std::filesystem::path& path, const std::string& last_entry = "");

}  // namespace snapwright::base
