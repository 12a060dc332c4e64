#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <set>
#include <source_location>
#include <string>
#include <string_view>

namespace snapwright::testing {

// Writes `content` to `path` (parent directories created, an existing file replaced in place)
// and gives it `mode`. Throws std::runtime_error when it cannot.
void write_file(const std::filesystem::path& path, std::string_view content, mode_t mode = 0644);

// An executable shell script `name` in `directory` running `body`; returns its path.
std::filesystem::path write_script(const std::filesystem::path& directory, std::string_view name,
                                   std::string_view body);

// The whole content of a file; throws std::runtime_error when it cannot be opened.
std::string read_file(const std::filesystem::path& path);
// The same, or "" when it cannot be opened: a file not written yet, or of a process gone.
std::string read_file_or_empty(const std::filesystem::path& path);

// What lstat reports for `path`; when it fails, the test fails at the caller's line and the
// result is all zero.
struct stat status_of(const std::filesystem::path& path,
                      std::source_location where = std::source_location::current());
// The permission bits of `path` (not following a link), as status_of reports them.
unsigned mode_of(const std::filesystem::path& path,
                 std::source_location where = std::source_location::current());

// What efivarfs holds for a string variable: four bytes of attributes, then the UTF-16LE text and
// its NUL.
std::string efi_string_bytes(std::u16string_view text);
// Writes systemd-boot's loader variable `name` holding `value` into an efivarfs directory.
void write_loader_variable(const std::filesystem::path& directory, const std::string& name,
                           std::u16string_view value);

// The names directly inside `directory`, sorted.
std::set<std::string> names_in(const std::filesystem::path& directory);

}  // namespace snapwright::testing
