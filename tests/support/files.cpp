#include "support/files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

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

std::string read_file_or_empty(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

struct stat status_of(const fs::path& path, std::source_location where) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
            << "lstat " << path << ": " << std::strerror(errno);
        st = {};
    }
    return st;
}

unsigned mode_of(const fs::path& path, std::source_location where) {
    return status_of(path, where).st_mode & 07777;
}

std::string efi_string_bytes(std::u16string_view text) {
    std::string bytes("\x07\x00\x00\x00", 4);
    for (const char16_t unit : std::u16string(text) + u'\0') {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

void write_loader_variable(const fs::path& directory, const std::string& name,
                           std::u16string_view value) {
    write_file(directory / (name + "-4a67b082-0a4c-41cf-b6c7-440b29bb8c4f"),
               efi_string_bytes(value));
}

std::set<std::string> names_in(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

}  // namespace snapwright::testing
