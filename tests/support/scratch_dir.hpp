#pragma once

#include <filesystem>
#include <string>

namespace snapwright::testing {

// A fresh directory under the system temporary directory, removed with everything in it when
// the object goes away. Tests work inside it by absolute path and never chdir.
class ScratchDir {
  public:
    ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // Writes `content` to `name` inside the directory and returns its path.
    std::filesystem::path write(const std::string& name, const std::string& content,
                                bool executable = false) const;

  private:
    std::filesystem::path path_;
};

}  // namespace snapwright::testing
