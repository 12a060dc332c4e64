#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/scratch_dir.hpp"

namespace snapwright::testing {

namespace fs = std::filesystem;

// Sets (or, with nullopt, unsets) an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) {
            old_ = old;
        }
        if (value) {
            ::setenv(name_.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    std::optional<std::string> old_;
};

inline void write_file(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// Writes an executable shell script `name` into `directory`.
inline fs::path write_script(const fs::path& directory, const std::string& name,
                             const std::string& body) {
    const fs::path path = directory / name;
    write_file(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

// PATH with `directory` searched first, so fake tools there shadow the real ones.
class FakeToolPath {
  public:
    explicit FakeToolPath(const fs::path& directory)
        : env_("PATH", directory.string() + ":" + original_path()) {}

  private:
    static std::string original_path() {
        const char* path = std::getenv("PATH");
        return path != nullptr ? path : "/usr/bin:/bin";
    }
    ScopedEnv env_;
};

}  // namespace snapwright::testing
