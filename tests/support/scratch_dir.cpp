#include "support/scratch_dir.hpp"

#include <stdlib.h>

#include <stdexcept>
#include <system_error>

#include "support/files.hpp"

namespace snapwright::testing {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    std::string pattern = fs::temp_directory_path() / "snapwright-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // Read-only or unsearchable directories left by a test must not keep their contents alive.
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(path_, ignored);
}

fs::path ScratchDir::write(const fs::path& relative, std::string_view content,
                           bool executable) const {
    const fs::path file = path_ / relative;
    write_file(file, content, executable ? 0755 : 0644);
    return file;
}

}  // namespace snapwright::testing
