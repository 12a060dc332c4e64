#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace snapwright::testing {

// A fresh directory under the system temporary directory, removed with everything in it when
// the object goes away, even where a test left directories without write or search permission.
// Tests work inside it by absolute path and never chdir.
class ScratchDir {
  public:
    ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const {
        return path_ / relative;
    }

    // Writes `content` to `relative` inside the directory (parents created) and returns its path.
    std::filesystem::path write(const std::filesystem::path& relative, std::string_view content,
                                bool executable = false) const;

  private:
    std::filesystem::path path_;
};

}  // namespace snapwright::testing
