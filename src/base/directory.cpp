#include "base/directory.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

#include "base/app_error.hpp"
#include "base/file_io.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::base {

namespace {

UniqueFd checked(UniqueFd fd) {
    if (!fd) {
        throw_io_error(errno);
    }
    return fd;
}

}  // namespace

Directory Directory::open(const std::filesystem::path& path) {
    return Directory(checked(open_directory(path)));
}

Directory Directory::open_at(int fd) {
    // Reopening "." gives a descriptor with a position of its own.
    return Directory(checked(UniqueFd(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))));
}

Directory Directory::adopt(UniqueFd fd) {
    return Directory(checked(std::move(fd)));
}

namespace {

// Hands `visit` every name of the directory open at `fd` but "." and "..", with the type the
// listing gives it; throws "I/O operation failed" when a read fails.
template <typename Visit>
void read_each(int fd, Visit visit) {
    // Large enough for a few hundred names per call; aligned for the records in it.
    alignas(dirent64) std::array<char, 8192> buffer;
    while (true) {
        const ssize_t length = ::getdents64(fd, buffer.data(), buffer.size());
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_io_error(errno);
        }
        if (length == 0) {
            return;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + offset);
            offset += entry->d_reclen;
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                visit(name, entry->d_type);
            }
        }
    }
}

FileKind kind_of_type(unsigned char type) {
    switch (type) {
        case DT_DIR:
            return FileKind::Directory;
        case DT_REG:
            return FileKind::Regular;
        case DT_LNK:
            return FileKind::Symlink;
        default:
            return FileKind::Other;
    }
}

}  // namespace

std::vector<std::string> Directory::names() {
    std::vector<std::string> names;
    read_each(fd_.get(), [&](std::string_view name, unsigned char) { names.emplace_back(name); });
    return names;
}

std::vector<DirectoryEntry> Directory::entries() {
    std::vector<DirectoryEntry> entries;
    read_each(fd_.get(), [&](std::string_view name, unsigned char type) {
        if (type != DT_UNKNOWN) {
            entries.push_back({std::string(name), kind_of_type(type)});
            return;
        }
        // Some filesystems leave the type to a separate look.
        std::string owned(name);
        const FileInfo info = inspect_at(fd(), owned);
        if (!info.absent()) {
            entries.push_back({std::move(owned), info.kind});
        }
    });
    return entries;
}

std::vector<std::string> list_directory(const std::filesystem::path& directory) {
    return Directory::open(directory).names();
}

std::vector<std::string> list_directory_at(int fd) {
    return Directory::open_at(fd).names();
}

}  // namespace snapwright::base
