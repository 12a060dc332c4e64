#pragma once

#include <utility>

namespace snapwright::base {

// Owns one file descriptor and closes it on destruction. Move-only.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);
    // Closes now and reports the close's own result (0, or -1 with errno set). Use where a
    // failing close must be noticed, e.g. after writing.
    int close();

  private:
    int fd_ = -1;
};

}  // namespace snapwright::base
