#include "store/sha256.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/file_hash.hpp"
#include "support/error_of.hpp"
#include "support/files.hpp"
#include "support/scratch_dir.hpp"

namespace snapwright::store {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
using testing::write_file;

struct Vector {
    std::string message;
    const char* digest;
};

const std::vector<Vector>& nist_vectors() {
    static const std::vector<Vector> vectors = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    return vectors;
}

std::vector<Sha256Backend> backends_to_test() {
    std::vector<Sha256Backend> backends{Sha256Backend::Portable, Sha256Backend::Automatic};
    if (sha256_backend_available(Sha256Backend::ShaExtensions)) {
        backends.push_back(Sha256Backend::ShaExtensions);
    }
    return backends;
}

TEST(Sha256, NistVectorsOnEveryBackend) {
    if (!sha256_backend_available(Sha256Backend::ShaExtensions)) {
        std::printf("note: this CPU has no SHA extensions; only the portable code is tested\n");
    }
    for (Sha256Backend backend : backends_to_test()) {
        for (const Vector& vector : nist_vectors()) {
            EXPECT_EQ(sha256_hex(vector.message, backend), vector.digest)
                << "backend " << static_cast<int>(backend) << ", length " << vector.message.size();
        }
    }
}

TEST(Sha256, MillionAsFedInOddPieces) {
    for (Sha256Backend backend : backends_to_test()) {
        Sha256 hash(backend);
        const std::string piece(997, 'a');
        std::size_t fed = 0;
        while (fed < 1000000) {
            const std::size_t take = std::min(piece.size(), std::size_t{1000000} - fed);
            hash.update(piece.data(), take);
            fed += take;
        }
        EXPECT_EQ(sha256_hex(hash.finish()),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
}

TEST(Sha256, ShaExtensionsMatchPortableOnRandomDataAndSplits) {
    if (!sha256_backend_available(Sha256Backend::ShaExtensions)) {
        GTEST_SKIP() << "this CPU has no SHA extensions";
    }
    std::mt19937_64 random(20261208);
    for (std::size_t length = 0; length < 2200; length += 1 + length / 8) {
        std::string data(length, '\0');
        for (char& c : data) {
            c = static_cast<char>(random());
        }
        const std::string expected = sha256_hex(data, Sha256Backend::Portable);
        ASSERT_EQ(sha256_hex(data, Sha256Backend::ShaExtensions), expected) << length;
        // Splits across and inside block boundaries exercise the buffering of partial blocks.
        for (int trial = 0; trial < 4; ++trial) {
            Sha256 fast(Sha256Backend::ShaExtensions);
            Sha256 portable(Sha256Backend::Portable);
            std::size_t pos = 0;
            while (pos < length) {
                const std::size_t take = std::min<std::size_t>(length - pos, random() % 150);
                fast.update(data.data() + pos, take);
                portable.update(data.data() + pos, take);
                pos += take;
            }
            EXPECT_EQ(sha256_hex(fast.finish()), expected) << length;
            EXPECT_EQ(sha256_hex(portable.finish()), expected) << length;
        }
    }
}

// Runs sha256sum on every file in one go and returns its digests in order.
std::vector<std::string> reference_digests(const std::vector<fs::path>& files) {
    std::string command = "sha256sum";
    for (const fs::path& file : files) {
        command += " '" + file.string() + "'";
    }
    std::vector<std::string> digests;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return digests;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        digests.emplace_back(line, 64);
    }
    const int status = ::pclose(pipe);
    if (status != 0) {
        digests.clear();
    }
    return digests;
}

TEST(HashFile, EveryLengthUpTo300MatchesSha256sum) {
    ScratchDir dir;
    std::vector<fs::path> files;
    std::string content;
    for (int length = 0; length <= 300; ++length) {
        files.push_back(dir / ("length-" + std::to_string(length)));
        write_file(files.back(), content);
        content += static_cast<char>('0' + (length * 31) % 75);
    }
    const std::vector<std::string> expected = reference_digests(files);
    if (expected.size() != files.size()) {
        GTEST_SKIP() << "sha256sum is not available to compare with";
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(hash_file(files[i]), expected[i]) << files[i];
    }
}

TEST(HashFile, ReadsFilesLargerThanOneChunk) {
    ScratchDir dir;
    const std::string content(131072 * 2 + 17, 'a');
    write_file(dir / "big", content);
    EXPECT_EQ(hash_file(dir / "big"), sha256_hex(content, Sha256Backend::Portable));
}

TEST(HashFile, ReportsOpenAndReadFailures) {
    ScratchDir dir;
    EXPECT_EQ(testing::error_of([&] { hash_file(dir / "absent"); }),
              "open " + (dir / "absent").string() +
                  " for hashing: No such file or directory (os error 2)");
    EXPECT_EQ(testing::error_of([&] { hash_file(dir.path()); }),
              "I/O operation failed: Is a directory (os error 21)");
}

}  // namespace
}  // namespace snapwright::store
