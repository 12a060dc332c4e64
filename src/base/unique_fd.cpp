#include "base/unique_fd.hpp"

#include <unistd.h>

namespace snapwright::base {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        ::close(fd_);
    }
    fd_ = fd;
}

int UniqueFd::close() {
    int fd = release();
    return fd < 0 ? 0 : ::close(fd);
}

}  // namespace snapwright::base
