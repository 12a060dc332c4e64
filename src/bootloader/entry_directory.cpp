#include "bootloader/entry_directory.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/system_paths.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "bootloader/entry_location.hpp"

namespace snapwright::bootloader {
namespace {

// The text after the last dot; a name whose only dot is its first character has none.
std::string_view extension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return {};
    }
    return name.substr(dot + 1);
}

// The names in a directory, in no particular order. A listing error is an I/O error.
std::vector<std::string> list_names(const fs::path& directory) {
    std::error_code error;
    fs::directory_iterator it(directory, error);
    std::vector<std::string> names;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        names.push_back(it->path().filename().native());
    }
    if (error) {
        base::throw_io_error(error.value());
    }
    return names;
}

struct stat lstat_or_throw(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        base::throw_io_error(errno);
    }
    return status;
}

void check_name_is_utf8(const std::string& name) {
    if (!base::is_valid_utf8(name)) {
        base::throw_error("systemd-boot entry filename is not valid UTF-8");
    }
}

}  // namespace

std::vector<BootEntry> read_entry_directory(const fs::path& entry_directory) {
    struct stat status {};
    if (::lstat(entry_directory.c_str(), &status) != 0) {
        base::throw_os_error(
            "inspect systemd-boot entry directory " + base::display_path(entry_directory), errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        base::throw_error("systemd-boot entry path is not a real directory: " +
                          base::display_path(entry_directory));
    }
    std::vector<fs::path> paths;
    for (const std::string& name : list_names(entry_directory)) {
        if (extension(name) == "conf") {
            paths.push_back(entry_directory / name);
        }
    }
    std::sort(paths.begin(), paths.end());

    std::vector<BootEntry> entries;
    for (const fs::path& path : paths) {
        const std::string refusal =
            "systemd-boot entry is not a regular file: " + base::display_path(path);
        if (!S_ISREG(lstat_or_throw(path).st_mode)) {
            base::throw_error(refusal);
        }
        const std::string name = path.filename().native();
        check_name_is_utf8(name);
        // Read through a descriptor that cannot be a link or a FIFO swapped in since the lstat.
        const std::optional<std::string> text = base::read_regular_file_no_follow(path);
        if (!text) {
            base::throw_error(refusal);
        }
        if (!base::is_valid_utf8(*text)) {
            base::throw_io_text_error(base::kIoFailed, base::kInvalidUtf8Cause);
        }
        entries.push_back(parse_entry(name, *text));
    }
    return entries;
}

bool belongs_to_machine(std::string_view text, std::string_view machine_id) {
    const auto recorded = entry_machine_id(text);
    return !recorded || base::equals_ignore_ascii_case(*recorded, machine_id);
}

std::map<std::string, std::string> list_generated_entry_files(const fs::path& entry_directory,
                                                              std::string_view machine_id) {
    check_entry_directory(entry_directory);
    std::map<std::string, std::string> inventory;
    for (const std::string& name : list_names(entry_directory)) {
        check_name_is_utf8(name);
        if (!name.starts_with(base::kEntryPrefix) || !name.ends_with(".conf")) {
            continue;
        }
        const fs::path path = entry_directory / name;
        if (!S_ISREG(lstat_or_throw(path).st_mode)) {
            continue;
        }
        // Another installation's file is looked at only for its machine-id, so the bytes are
        // read first and judged as UTF-8 only once the file is known to be ours.
        std::optional<std::string> read = base::read_regular_file_no_follow(path);
        if (!read) {
            continue;
        }
        std::string text = std::move(*read);
        if (!belongs_to_machine(base::lossy_utf8(text), machine_id)) {
            continue;
        }
        if (!base::is_valid_utf8(text)) {
            base::throw_io_text_error(base::kIoFailed, base::kInvalidUtf8Cause);
        }
        if (has_ownership_marker(text)) {
            inventory.emplace(name, std::move(text));
        }
    }
    return inventory;
}

}  // namespace snapwright::bootloader
