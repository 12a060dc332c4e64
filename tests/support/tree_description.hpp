#pragma once

#include <filesystem>
#include <string>

namespace snapwright::testing {

struct TreeOptions {
    bool content = true;
    bool mtimes = false;
    // Inode numbers show a file replaced by a rename even when its content and times match.
    bool inodes = false;
};

// One line per entry below `directory` (itself included), sorted by path: type, permission bits,
// size and content digest of files, targets of symbolic links, and optionally mtimes and inode
// numbers. Two equal listings mean nothing below changed.
std::string describe_tree(const std::filesystem::path& directory, const TreeOptions& options = {});

}  // namespace snapwright::testing
