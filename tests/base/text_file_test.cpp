#include "base/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/unique_fd.hpp"
#include "support/files.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::base {
namespace {

TEST(TextFile, HoldsExactlyTheTextOfARegularFileOnly) {
    const testing::ScratchDir dir;
    testing::write_file(dir / "file", "text\n");
    std::filesystem::create_symlink(dir / "file", dir / "link");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const UniqueFd fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct Case {
        const char* name;
        const char* expected;
        bool holds;
    };
    const Case cases[] = {
        {"file", "text\n", true},  {"file", "text", false},   {"file", "text\n\n", false},
        {"file", "next\n", false}, {"link", "text\n", false}, {"fifo", "", false},
        {"missing", "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(regular_file_holds_at(fd.get(), c.name, c.expected), c.holds)
            << c.name << " " << c.expected;
    }
}

}  // namespace
}  // namespace snapwright::base
