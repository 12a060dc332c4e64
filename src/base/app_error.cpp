#include "base/app_error.hpp"

#include <cstring>
#include <utility>

namespace snapwright::base {

OsError OsError::from_errno(int code) {
    // strerror_r (GNU flavour) may return a static string instead of filling the buffer.
    char buffer[256];
    const char* description = strerror_r(code, buffer, sizeof buffer);
    return OsError{code, std::string(description) + " (os error " + std::to_string(code) + ")"};
}

OsError OsError::from_text(std::string text) {
    return OsError{0, std::move(text)};
}

AppError::AppError(std::string message, std::optional<OsError> os_error)
    : message_(std::move(message)), os_error_(std::move(os_error)), display_(message_) {
    if (os_error_) {
        display_ += ": ";
        display_ += os_error_->text;
    }
}

void throw_error(std::string message) {
    throw AppError(std::move(message));
}

void throw_os_error(std::string message, int code) {
    throw AppError(std::move(message), OsError::from_errno(code));
}

void throw_io_error(int code) {
    throw AppError(kIoFailed, OsError::from_errno(code));
}

void throw_io_text_error(std::string message, std::string cause) {
    throw AppError(std::move(message), OsError::from_text(std::move(cause)));
}

}  // namespace snapwright::base
