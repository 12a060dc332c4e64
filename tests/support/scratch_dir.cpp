#include "support/scratch_dir.hpp"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>
#include <system_error>

namespace snapwright::testing {

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "snapwright-test-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // Restore search permission first so read-only fixtures can be removed.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path ScratchDir::write(const std::string& name, const std::string& content,
                                        bool executable) const {
    const std::filesystem::path file = path_ / name;
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) {
            throw std::runtime_error("cannot write " + file.string());
        }
    }
    if (executable) {
        std::filesystem::permissions(
            file, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                      std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                      std::filesystem::perms::others_exec);
    }
    return file;
}

}  // namespace snapwright::testing
