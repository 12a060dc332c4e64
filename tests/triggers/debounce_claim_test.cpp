#include "triggers/debounce_claim.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::triggers {
namespace {

using testing::error_of;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(DebounceClaim, TokenIsProcessAndNanosecondsSinceTheEpoch) {
    EXPECT_EQ(claim_token(42, 1700000000, 5), "42-1700000000000000005");
    EXPECT_EQ(claim_token(7, 0, 123), "7-123");
    // Far beyond what 64 bits of nanoseconds hold.
    EXPECT_EQ(claim_token(1, 18446744073709551615ULL, 999999999),
              "1-18446744073709551615999999999");
}

TEST(DebounceClaim, OnlyTheLatestClaimStaysCurrent) {
    const testing::ScratchDir run;
    const DebounceClaim first = place_debounce_claim("0123abcd", run.path());
    EXPECT_EQ(first.path, run.path() / "snapwright" / "0123abcd.token");
    EXPECT_TRUE(first.token.starts_with(std::to_string(::getpid()) + "-")) << first.token;
    EXPECT_EQ(testing::mode_of(first.path), 0600u);
    EXPECT_TRUE(claim_still_current(first, 0ms));

    const DebounceClaim second = place_debounce_claim("0123abcd", run.path());
    EXPECT_FALSE(claim_still_current(first, 0ms));
    EXPECT_TRUE(claim_still_current(second, 0ms));

    // Surrounding whitespace is not part of the token.
    std::ofstream(second.path) << "  " << second.token << "\n";
    EXPECT_TRUE(claim_still_current(second, 0ms));
}

TEST(DebounceClaim, ARemovedOrReplacedClaimFileMeansSuperseded) {
    const testing::ScratchDir run;
    const DebounceClaim removed = place_debounce_claim("machine", run.path());
    fs::remove(removed.path);
    EXPECT_FALSE(claim_still_current(removed, 0ms));

    const DebounceClaim replaced = place_debounce_claim("machine", run.path());
    fs::remove(replaced.path);
    fs::create_directory(replaced.path);
    EXPECT_FALSE(claim_still_current(replaced, 0ms));
    fs::remove(replaced.path);

    // A leftover claim file never blocks a new claim.
    std::ofstream(replaced.path) << "1-1";
    EXPECT_TRUE(claim_still_current(place_debounce_claim("machine", run.path()), 0ms));
}

TEST(DebounceClaim, AcceptsOnlyPlainClaimNames) {
    const testing::ScratchDir run;
    for (const std::string name : {"", "a/b", "a b", "caf\xc3\xa9"}) {
        EXPECT_EQ(error_of([&] { (void)place_debounce_claim(name, run.path()); }),
                  "invalid debounce claim name")
            << name;
    }
    for (const std::string name : {"A-z_0.9", ".."}) {
        EXPECT_NO_THROW((void)place_debounce_claim(name, run.path())) << name;
    }
}

}  // namespace
}  // namespace snapwright::triggers
