#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace snapwright::testing {

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

// PATH with `directory` searched first, so fake tools there shadow the real ones.
class FakeToolPath {
  public:
    explicit FakeToolPath(const std::filesystem::path& directory)
        : env_("PATH", directory.string() + ":" + original_path()) {}

  private:
    static std::string original_path() {
        const char* path = std::getenv("PATH");
        return path != nullptr ? path : "/usr/bin:/bin";
    }
    ScopedEnv env_;
};

}  // namespace snapwright::testing
