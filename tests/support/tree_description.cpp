#include "support/tree_description.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

namespace snapwright::testing {
namespace {

namespace fs = std::filesystem;

std::string fnv1a_digest(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::uint64_t hash = 14695981039346656037ull;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            hash ^= static_cast<unsigned char>(buffer[i]);
            hash *= 1099511628211ull;
        }
    }
    std::ostringstream text;
    text << std::hex << hash;
    return text.str();
}

}  // namespace

std::string describe_tree(const fs::path& directory, const TreeOptions& options) {
    std::vector<std::string> lines;
    std::function<void(const fs::path&, const std::string&)> visit = [&](const fs::path& path,
                                                                         const std::string& name) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            lines.push_back(name + " missing");
            return;
        }
        std::ostringstream line;
        line << name << ' ' << std::oct << (st.st_mode & 07777) << std::dec;
        if (S_ISDIR(st.st_mode)) {
            line << " dir";
        } else if (S_ISREG(st.st_mode)) {
            line << " file " << st.st_size;
            if (options.content) {
                line << ' ' << fnv1a_digest(path);
            }
        } else if (S_ISLNK(st.st_mode)) {
            line << " link -> " << fs::read_symlink(path).string();
        } else {
            line << " special " << (st.st_mode & S_IFMT);
        }
        if (options.mtimes) {
            line << " mtime " << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec;
        }
        if (options.inodes) {
            line << " inode " << st.st_ino;
        }
        lines.push_back(line.str());
        if (S_ISDIR(st.st_mode)) {
            std::vector<std::string> children;
            for (const auto& entry : fs::directory_iterator(path)) {
                children.push_back(entry.path().filename().string());
            }
            std::sort(children.begin(), children.end());
            for (const auto& child : children) {
                visit(path / child, name == "." ? child : name + "/" + child);
            }
        }
    };
    visit(directory, ".");
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& line : lines) {
        out += line + "\n";
    }
    return out;
}

}  // namespace snapwright::testing
