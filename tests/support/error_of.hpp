#pragma once

#include <source_location>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "base/app_error.hpp"

namespace snapwright::testing {

// The whole message of the AppError that `action` throws. When it returns normally the test
// fails at the caller's line and the result is empty.
template <typename Action>
std::string error_of(Action&& action,
                     std::source_location where = std::source_location::current()) {
    try {
        std::forward<Action>(action)();
    } catch (const base::AppError& error) {
        return error.display();
    }
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << "nothing was thrown";
    return "";
}

}  // namespace snapwright::testing
