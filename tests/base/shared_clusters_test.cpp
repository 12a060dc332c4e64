#include "base/shared_clusters.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/file_io.hpp"
#include "support/files.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::base {
namespace {

using testing::ScratchDir;
using testing::write_file;

TEST(SharedClusters, EqualFirstBlocksAreSharedAndAFileWithoutBlocksSharesNothing) {
    const std::optional<std::uint64_t> unreadable;
    const struct {
        std::optional<std::uint64_t> temporary, target;
        ClusterSharing expected;
    } cases[] = {
        {4711, 4711, ClusterSharing::Shared},
        {4711, 4712, ClusterSharing::Separate},
        {0, 0, ClusterSharing::Separate},
        {0, unreadable, ClusterSharing::Separate},
        {unreadable, 0, ClusterSharing::Separate},
        {unreadable, 4711, ClusterSharing::Unknown},
        {4711, unreadable, ClusterSharing::Unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compare_first_blocks(c.temporary, c.target), c.expected)
            << c.temporary.value_or(99) << " " << c.target.value_or(99);
    }
}

// Two names of one file share every block; on a filesystem with a journal that is never taken
// for the remains of a torn rename.
TEST(SharedClusters, NeverSharedOnAJournalingFilesystem) {
    ScratchDir dir;
    write_file(dir / "entry.conf", std::string(8192, 'e'));
    ASSERT_EQ(::link((dir / "entry.conf").c_str(), (dir / ".entry.conf.tmp-1-0").c_str()), 0);
    const UniqueFd directory = open_directory(dir.path());
    ASSERT_TRUE(directory);
    EXPECT_EQ(first_cluster_sharing(directory.get(), ".entry.conf.tmp-1-0", "entry.conf"),
              ClusterSharing::Separate);
}

}  // namespace
}  // namespace snapwright::base
