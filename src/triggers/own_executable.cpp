#include "triggers/own_executable.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "base/app_error.hpp"

namespace snapwright::triggers {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr const char* kSelfExe = "/proc/self/exe";

std::string read_self_link() {
    std::string buffer(256, '\0');
    while (true) {
        const ssize_t length = ::readlink(kSelfExe, buffer.data(), buffer.size());
        if (length < 0) {
            base::throw_os_error("locate snapwright executable", errno);
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool is_regular_file(const std::string& path, struct stat& status) {
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

std::string executable_from_link(const std::string& link_text,
                                 const std::function<bool(const std::string&)>& is_running_binary,
                                 const std::function<bool(const std::string&)>& exists) {
    if (!link_text.ends_with(kDeletedSuffix) || is_running_binary(link_text)) {
        return link_text;
    }
    const std::string replaced = link_text.substr(0, link_text.size() - kDeletedSuffix.size());
    return exists(replaced) ? replaced : link_text;
}

std::string own_executable() {
    const std::string link_text = read_self_link();
    struct stat running {};
    const bool known = ::stat(kSelfExe, &running) == 0;
    // A file whose name really ends in the suffix is recognised by being the running file.
    const auto is_running_binary = [&](const std::string& path) {
        struct stat status {};
        return known && is_regular_file(path, status) && status.st_dev == running.st_dev &&
               status.st_ino == running.st_ino;
    };
    const auto exists = [](const std::string& path) {
        struct stat status {};
        return is_regular_file(path, status);
    };
    return executable_from_link(link_text, is_running_binary, exists);
}

}  // namespace snapwright::triggers
