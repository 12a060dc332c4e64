#include "base/directory.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

#include "base/app_error.hpp"
#include "base/file_io.hpp"
#include "base/unique_fd.hpp"

namespace snapwright::base {

namespace {

// A stream over an open directory descriptor, which it takes over.
DIR* stream_over(UniqueFd fd) {
    if (!fd) {
        throw_io_error(errno);
    }
    DIR* stream = ::fdopendir(fd.get());
    if (stream == nullptr) {
        throw_io_error(errno);
    }
    fd.release();
    return stream;
}

}  // namespace

Directory Directory::open(const std::filesystem::path& path) {
    return Directory(stream_over(open_directory(path)));
}

Directory Directory::open_at(int fd) {
    // Reopening "." gives a descriptor with a position of its own.
    return Directory(stream_over(UniqueFd(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))));
}

Directory Directory::adopt(UniqueFd fd) {
    return Directory(stream_over(std::move(fd)));
}

Directory::~Directory() {
    if (stream_ != nullptr) {
        ::closedir(stream_);
    }
}

namespace {

// Hands `visit` every name of the stream but "." and "..", with the type the listing gives it;
// throws "I/O operation failed" when a read fails.
template <typename Visit>
void read_each(DIR* stream, Visit visit) {
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) {
            if (errno != 0) {
                throw_io_error(errno);
            }
            return;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            visit(name, entry->d_type);
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
    read_each(stream_, [&](std::string_view name, unsigned char) { names.emplace_back(name); });
    return names;
}

std::vector<DirectoryEntry> Directory::entries() {
    std::vector<DirectoryEntry> entries;
    read_each(stream_, [&](std::string_view name, unsigned char type) {
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

int Directory::fd() const {
    return ::dirfd(stream_);
}

std::vector<std::string> list_directory(const std::filesystem::path& directory) {
    return Directory::open(directory).names();
}

std::vector<std::string> list_directory_at(int fd) {
    return Directory::open_at(fd).names();
}

}  // namespace snapwright::base
