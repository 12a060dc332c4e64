#include "system/root_device.hpp"

#include <btrfsutil.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"

namespace snapwright::system {
namespace {

constexpr const char* kMountinfoPath = "/proc/self/mountinfo";
constexpr const char* kBtrfsSysfsPath = "/sys/fs/btrfs";

// udev's encoding of names in /dev/disk/by-label and by-partlabel: ASCII letters, digits,
// "#+-.:=@_" and valid multi-byte UTF-8 stay, every other byte becomes "\xNN".
std::string encode_device_name(std::string_view name) {
    std::string encoded;
    for (std::size_t i = 0; i < name.size();) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte >= 0x80) {
            std::size_t end = i;
            (void)base::decode_utf8(name, end);
            if (base::is_valid_utf8(name.substr(i, end - i))) {
                encoded.append(name.substr(i, end - i));
                i = end;
                continue;
            }
        }
        const bool kept =
            (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
            (byte >= 'A' && byte <= 'Z') ||
            std::string_view("#+-.:=@_").find(static_cast<char>(byte)) != std::string_view::npos;
        if (kept) {
            encoded += static_cast<char>(byte);
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            encoded += escape;
        }
        ++i;
    }
    return encoded;
}

// mountinfo writes space, tab, line feed and backslash in names as "\ooo".
std::string unescape_octal(std::string_view text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
            text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            plain += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                       (text[i + 3] - '0'));
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

std::optional<std::string> read_small_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        return std::nullopt;
    }
    return text.str();
}

std::optional<dev_t> block_device_number(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        return std::nullopt;
    }
    return st.st_rdev;
}

std::optional<dev_t> root_mount_device() {
    const std::optional<std::string> text = read_small_file(kMountinfoPath);
    if (!text) {
        return std::nullopt;
    }
    const std::optional<std::string> source = root_mount_source(*text);
    if (!source || !source->starts_with('/')) {
        return std::nullopt;
    }
    return block_device_number(*source);
}

// The device numbers of the members of the Btrfs filesystem `uuid` that sysfs lists; none when
// it lists nothing or cannot be read.
std::vector<dev_t> member_devices(std::string_view uuid) {
    std::vector<dev_t> members;
    const std::string name = base::to_lower_ascii(uuid);
    // Only a UUID may pick the sysfs directory.
    if (name.empty() || name.find_first_not_of("0123456789abcdef-") != std::string::npos) {
        return members;
    }
    const std::filesystem::path devices = std::filesystem::path(kBtrfsSysfsPath) / name / "devices";
    std::error_code error;
    for (std::filesystem::directory_iterator it(devices, error), end; !error && it != end;
         it.increment(error)) {
        if (const auto text = read_small_file(it->path() / "dev")) {
            if (const auto number = parse_device_number(*text)) {
                members.push_back(*number);
            }
        }
    }
    return members;
}

}  // namespace

std::optional<dev_t> parse_device_number(std::string_view text) {
    if (text.ends_with('\n')) {
        text.remove_suffix(1);
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto number = [](std::string_view digits) -> std::optional<unsigned> {
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
            return std::nullopt;
        }
        return value;
    };
    const auto major = number(text.substr(0, colon));
    const auto minor = number(text.substr(colon + 1));
    if (!major || !minor) {
        return std::nullopt;
    }
    return makedev(*major, *minor);
}

std::optional<std::filesystem::path> root_device_link(std::string_view root_value) {
    const auto after = [&](std::string_view prefix) -> std::optional<std::string_view> {
        if (root_value.starts_with(prefix) && root_value.size() > prefix.size()) {
            return root_value.substr(prefix.size());
        }
        return std::nullopt;
    };
    if (root_value.starts_with("/dev/")) {
        return std::filesystem::path(root_value);
    }
    if (const auto partuuid = after("PARTUUID=")) {
        return "/dev/disk/by-partuuid/" + encode_device_name(base::to_lower_ascii(*partuuid));
    }
    if (const auto label = after("LABEL=")) {
        return "/dev/disk/by-label/" + encode_device_name(*label);
    }
    if (const auto partlabel = after("PARTLABEL=")) {
        return "/dev/disk/by-partlabel/" + encode_device_name(*partlabel);
    }
    return std::nullopt;
}

std::optional<std::string> root_mount_source(std::string_view mountinfo) {
    std::optional<std::string> source;
    for (const std::string_view line : base::split_lines(mountinfo)) {
        const std::vector<std::string_view> fields = base::split_ascii_whitespace(line);
        std::size_t separator = 6;
        while (separator < fields.size() && fields[separator] != "-") {
            ++separator;
        }
        // Six fixed fields come before the optional ones and the separator; fstype and
        // source follow it.
        if (fields.size() < separator + 3) {
            continue;
        }
        if (unescape_octal(fields[4]) == "/") {
            source = unescape_octal(fields[separator + 2]);
        }
    }
    return source;
}

bool names_root_filesystem(std::string_view root_value, std::string_view root_filesystem_uuid) {
    if (root_value.starts_with("UUID=")) {
        return !root_filesystem_uuid.empty() &&
               base::equals_ignore_ascii_case(root_value.substr(5), root_filesystem_uuid);
    }
    const std::optional<std::filesystem::path> link = root_device_link(root_value);
    if (!link) {
        return false;
    }
    const std::optional<dev_t> named = block_device_number(*link);
    if (!named) {
        return false;
    }
    if (const std::optional<dev_t> root = root_mount_device(); root && *named == *root) {
        return true;
    }
    const std::vector<dev_t> members = member_devices(root_filesystem_uuid);
    return std::find(members.begin(), members.end(), *named) != members.end();
}

RootSubvolume read_root_subvolume(const MountTable& table) {
    const auto row = std::find_if(table.begin(), table.end(), [](const MountRow& candidate) {
        return base::same_path(candidate.target, "/");
    });
    if (row == table.end()) {
        base::throw_error("root filesystem mount is unavailable");
    }
    const std::string shown = base::display_path(row->target);
    std::uint64_t id = 0;
    if (::btrfs_util_subvolume_id(row->target.c_str(), &id) != BTRFS_UTIL_OK) {
        base::throw_os_error("cannot read the Btrfs subvolume ID of " + shown, errno);
    }
    std::uint64_t default_id = 0;
    if (::btrfs_util_get_default_subvolume(row->target.c_str(), &default_id) != BTRFS_UTIL_OK) {
        base::throw_os_error("cannot read the default Btrfs subvolume of " + shown, errno);
    }
    return RootSubvolume{.path = row->fsroot, .id = id, .is_default = id == default_id};
}

}  // namespace snapwright::system
