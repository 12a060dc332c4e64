#include "system/secure_boot.hpp"

#include <gtest/gtest.h>

#include "support/scratch_dir.hpp"

namespace snapwright::system {
namespace {

TEST(ReadSecureBoot, ReadsTheVariableAndTreatsAnythingElseAsNotReported) {
    const testing::ScratchDir dir;
    EXPECT_EQ(read_secure_boot(dir / "absent"), SecureBoot::NotReported);
    const std::string name = "SecureBoot-8be4df61-93ca-11d2-aa0d-00e098032b8c";
    struct Case {
        std::string value;
        SecureBoot expected;
    };
    const Case cases[] = {
        {std::string("\x06\0\0\0\x01", 5), SecureBoot::Enabled},
        {std::string("\x06\0\0\0\0", 5), SecureBoot::Disabled},
        {std::string("\x06\0\0\0\x02", 5), SecureBoot::NotReported},
        {std::string("\x01", 1), SecureBoot::NotReported},
        {std::string("\x06\0\0\0\x01\x01", 6), SecureBoot::NotReported},
    };
    for (const Case& c : cases) {
        dir.write(name, c.value);
        EXPECT_EQ(read_secure_boot(dir.path()), c.expected) << c.value.size();
    }
}

}  // namespace
}  // namespace snapwright::system
