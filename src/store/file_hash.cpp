#include "store/file_hash.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "base/app_error.hpp"
#include "base/file_io.hpp"
#include "base/paths.hpp"
#include "base/unique_fd.hpp"
#include "store/sha256.hpp"

namespace snapwright::store {
namespace {

constexpr std::size_t kChunkSize = 131072;

}  // namespace

DescriptorHash hash_descriptor(int fd) {
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunkSize]);
    Sha256 hash;
    DescriptorHash result;
    while (true) {
        const ssize_t got = base::read_retrying(fd, buffer.get(), kChunkSize);
        if (got < 0) {
            base::throw_io_error(errno);
        }
        if (got == 0) {
            break;
        }
        hash.update(buffer.get(), static_cast<std::size_t>(got));
        result.size += static_cast<std::uint64_t>(got);
    }
    result.digest = sha256_hex(hash.finish());
    return result;
}

DescriptorHash hash_descriptor_range(int fd, std::uint64_t offset, std::uint64_t length) {
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunkSize]);
    Sha256 hash;
    DescriptorHash result;
    while (result.size < length) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, length - result.size));
        const ssize_t got =
            base::pread_retrying(fd, buffer.get(), want, static_cast<off_t>(offset + result.size));
        if (got < 0) {
            base::throw_io_error(errno);
        }
        if (got == 0) {
            base::throw_io_text_error(base::kIoFailed, "the file ended before the bytes to hash");
        }
        hash.update(buffer.get(), static_cast<std::size_t>(got));
        result.size += static_cast<std::uint64_t>(got);
    }
    result.digest = sha256_hex(hash.finish());
    return result;
}

std::string hash_file(const std::filesystem::path& path) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        base::throw_os_error("open " + base::display_path(path) + " for hashing", errno);
    }
    return hash_descriptor(fd.get()).digest;
}

}  // namespace snapwright::store
