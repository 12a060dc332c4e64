#include "support/loop_device.hpp"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace snapwright::testing {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

[[noreturn]] void fail_errno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

LoopDevice attach_loop(const fs::path& image) {
    const int image_fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (image_fd < 0) {
        fail_errno("open " + image.string());
    }
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        ::close(image_fd);
        fail_errno("open /dev/loop-control");
    }
    LoopDevice loop;
    // Other processes compete for free devices; a device taken between the query and the
    // configuration answers EBUSY and the next one is tried.
    for (int attempt = 0; attempt < 64 && loop.fd < 0; ++attempt) {
        const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            break;
        }
        const std::string node = "/dev/loop" + std::to_string(number);
        struct stat st {};
        if (::stat(node.c_str(), &st) != 0) {
            // No udev here: make the node the kernel just created.
            ::mknod(node.c_str(), S_IFBLK | 0600, makedev(7, number));
        }
        const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        loop_config config{};
        config.fd = static_cast<__u32>(image_fd);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(),
                     LO_NAME_SIZE - 1);
        if (::ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
            ::fstat(fd, &st);
            loop.number = number;
            loop.device = st.st_rdev;
            loop.fd = fd;
        } else {
            ::close(fd);
        }
    }
    ::close(control);
    ::close(image_fd);
    if (loop.fd < 0) {
        fail("no free loop device for " + image.string());
    }
    return loop;
}

void create_sparse_file(const fs::path& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        fail_errno("create image " + path.string());
    }
    ::close(fd);
}

}  // namespace snapwright::testing
