#include "base/app_error.hpp"

#include <cerrno>

#include <gtest/gtest.h>

namespace snapwright::base {
namespace {

TEST(AppError, DisplaysMessageAlone) {
    EXPECT_EQ(AppError("the root filesystem is not Btrfs").display(),
              "the root filesystem is not Btrfs");
}

TEST(AppError, AppendsOsErrorWithNumber) {
    AppError error("inspect /etc/x", OsError::from_errno(EACCES));
    EXPECT_EQ(error.display(), "inspect /etc/x: Permission denied (os error 13)");
    EXPECT_EQ(error.os_code(), EACCES);
}

TEST(AppError, AppendsTextCause) {
    AppError error("read /x", OsError::from_text(kInvalidUtf8Cause));
    EXPECT_EQ(error.display(), "read /x: stream did not contain valid UTF-8");
    EXPECT_EQ(error.os_code(), 0);
}

}  // namespace
}  // namespace snapwright::base
