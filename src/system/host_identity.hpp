#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Who this machine is: its operating-system name and its machine ID.
namespace snapwright::system {

// Whether `text` is a machine ID as written: exactly 32 hexadecimal digits, either case.
bool is_machine_id(std::string_view text);

// The PRETTY_NAME, else NAME, of an os-release text (one pair of surrounding quotes removed,
// nothing unescaped, empty values ignored), else "{} has no NAME or PRETTY_NAME". `path` only
// names the file in errors.
std::string parse_os_name(std::string_view text, const std::filesystem::path& path);
// Reads and parses the file; a read failure or invalid UTF-8 is "read {}" with the cause.
std::string read_os_name(const std::filesystem::path& path);
// The 32-digit lower-case machine ID of a machine-id text, else "invalid machine-id in {}".
std::string parse_machine_id(std::string_view text, const std::filesystem::path& path);
// Reads and parses the file; a read failure or invalid UTF-8 is "read {}" with the cause.
std::string read_machine_id(const std::filesystem::path& path);

}  // namespace snapwright::system
