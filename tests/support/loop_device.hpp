#pragma once

// Loop devices for the sandbox's disk images.

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace snapwright::testing {

// A new sparse file of `size` bytes; throws std::runtime_error when it cannot be made.
void create_sparse_file(const std::filesystem::path& path, std::uint64_t size);

// A loop device bound to an image with autoclear: it detaches itself when its last user (the
// mount) goes away, on every path out of the test.
struct LoopDevice {
    int number = -1;
    dev_t device = 0;
    int fd = -1;

    std::string node() const { return "/dev/loop" + std::to_string(number); }
    std::string name() const { return "loop" + std::to_string(number); }

    void close() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
};

// Binds a free loop device to `image`; throws std::runtime_error when none can be had.
LoopDevice attach_loop(const std::filesystem::path& image);

}  // namespace snapwright::testing
