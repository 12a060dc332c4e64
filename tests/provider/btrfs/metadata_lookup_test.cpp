#include "provider/btrfs/metadata_lookup.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/scratch_dir.hpp"

namespace snapwright::provider::btrfs {
namespace {

using testing::ScratchDir;

class MetadataLookupTest : public ::testing::Test {
  protected:
    fs::path snapshot(const std::string& relative) {
        const fs::path path = scratch_.path() / relative;
        fs::create_directories(path);
        return path;
    }
    void write(const std::string& relative, const std::string& text) {
        fs::create_directories((scratch_.path() / relative).parent_path());
        scratch_.write(relative, text);
    }

    ScratchDir scratch_;
    MetadataLookup lookup_;
};

TEST_F(MetadataLookupTest, SnapperThenTimeshiftThenYabsnapThenManual) {
    const fs::path snap = snapshot("s/12/snapshot");
    write("s/12/info.xml", "<description>snapper</description>");
    write("s/12/info.json", R"({"comments": "timeshift"})");
    write("s/12/a-meta.json", R"({"comment": "yabsnap"})");
    EXPECT_EQ(lookup_.find(snap, "12").source, "snapper");
    fs::remove(scratch_ / "s/12/info.xml");
    EXPECT_EQ(lookup_.find(snap, "12").description, "timeshift");
    // Unparsable JSON moves on to the next candidate.
    write("s/12/info.json", "{");
    EXPECT_EQ(lookup_.find(snap, "12").description, "yabsnap");
    fs::remove(scratch_ / "s/12/a-meta.json");
    EXPECT_EQ(lookup_.find(snap, "12"), SnapshotMetadata{});
}

TEST_F(MetadataLookupTest, YabsnapPrefersTheSnapshotsOwnFileAndLooksOneLevelUp) {
    const fs::path a = snapshot(".snapshots/@root-1");
    const fs::path b = snapshot(".snapshots/@root-2");
    write(".snapshots/@root-1-meta.json", R"({"comment": "one", "trigger": "I"})");
    write(".snapshots/@root-2-meta.json", R"({"comment": "two", "trigger": "S"})");
    EXPECT_EQ(lookup_.find(a, "@root-1").description, "one");
    EXPECT_EQ(lookup_.find(b, "@root-2").description, "two");

    // A single file in the parent's parent serves whichever snapshot asks.
    const fs::path nested = snapshot("y/sub/snap");
    write("y/only-meta.json", R"({"comment": "only"})");
    EXPECT_EQ(lookup_.find(nested, "snap"), (SnapshotMetadata{"yabsnap", "", "only", ""}));
}

TEST_F(MetadataLookupTest, UnsafeFilesCountAsUnreadable) {
    const fs::path snap = snapshot("t/1/snapshot");
    write("elsewhere.xml", "<description>followed</description>");
    fs::create_symlink(scratch_ / "elsewhere.xml", scratch_ / "t/1/info.xml");
    ASSERT_EQ(::mkfifo((scratch_ / "t/1/info.json").c_str(), 0600), 0);
    write("t/1/big-meta.json", "\"" + std::string(kMetadataFileLimit, 'x') + "\"");
    write("t/1/bad-meta.json", "{\"comment\": \"\xff\"}");
    EXPECT_EQ(lookup_.find(snap, "1"), SnapshotMetadata{});

    EXPECT_EQ(read_metadata_file(scratch_ / "t/1/info.xml"), std::nullopt);
    EXPECT_EQ(read_metadata_file(scratch_ / "t/1"), std::nullopt);
    EXPECT_EQ(read_metadata_file(scratch_ / "missing"), std::nullopt);
    write("ok", std::string(kMetadataFileLimit, 'y'));
    EXPECT_EQ(read_metadata_file(scratch_ / "ok")->size(), kMetadataFileLimit);
}

}  // namespace
}  // namespace snapwright::provider::btrfs
