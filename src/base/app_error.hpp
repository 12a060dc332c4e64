#pragma once

#include <exception>
#include <optional>
#include <string>

namespace snapwright::base {

// The cause of an error that came from the operating system or from I/O. `code` is the errno
// value for a failed system call (0 for an I/O failure without one, such as invalid UTF-8), and
// `text` is what is shown: for a system call the system's description followed by
// " (os error N)".
struct OsError {
    int code = 0;
    std::string text;

    static OsError from_errno(int code);
    static OsError from_text(std::string text);
};

// The one error type of the program: a message and an optional OS or I/O cause. It is thrown
// where the failure happens, with everything a reader needs in the message, and caught in main
// (and only where a failure is documented as ignored or collected).
class AppError : public std::exception {
  public:
    explicit AppError(std::string message, std::optional<OsError> os_error = std::nullopt);

    const std::string& message() const { return message_; }
    const std::optional<OsError>& os_error() const { return os_error_; }
    // errno of the cause, or 0 when there is none.
    int os_code() const { return os_error_ ? os_error_->code : 0; }

    // The message, or the message, ": " and the cause's text.
    const std::string& display() const { return display_; }
    const char* what() const noexcept override { return display_.c_str(); }

  private:
    std::string message_;
    std::optional<OsError> os_error_;
    std::string display_;
};

[[noreturn]] void throw_error(std::string message);
// Throws `message` with the errno value `code` as its cause.
[[noreturn]] void throw_os_error(std::string message, int code);
// Throws "I/O operation failed" with the errno value `code` as its cause.
[[noreturn]] void throw_io_error(int code);
// Throws `message` with an I/O cause that has no errno value.
[[noreturn]] void throw_io_text_error(std::string message, std::string cause);

inline constexpr const char* kIoFailed = "I/O operation failed";
inline constexpr const char* kJsonFailed = "JSON operation failed";
inline constexpr const char* kInvalidUtf8Cause = "stream did not contain valid UTF-8";

}  // namespace snapwright::base
