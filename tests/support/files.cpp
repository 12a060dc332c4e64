#include "support/files.hpp"

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace snapwright::testing {

namespace fs = std::filesystem;

void write_file(const fs::path& path, std::string_view content, mode_t mode) {
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out || ::chmod(path.c_str(), mode) != 0) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

fs::path write_script(const fs::path& directory, std::string_view name, std::string_view body) {
    const fs::path path = directory / name;
    write_file(path, "#!/bin/sh\n" + std::string(body) + "\n", 0755);
    return path;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::set<std::string> names_in(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

}  // namespace snapwright::testing
