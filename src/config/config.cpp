#include "config/config.hpp"

#include <charconv>
#include <map>

#include "base/app_error.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"

namespace snapwright::config {
namespace {

using RawValues = std::map<std::string, std::string, std::less<>>;

bool is_key_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_valid_key(std::string_view key) {
    if (key.empty()) {
        return false;
    }
    for (const char c : key) {
        if (!is_key_character(c)) {
            return false;
        }
    }
    return true;
}

// Inside double quotes a backslash escapes only the characters a shell would treat specially
// there; before anything else it stays, so Windows-like paths and "\n" survive unchanged.
std::string unescape_double_quoted(std::string_view inner) {
    std::string result;
    result.reserve(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        if (c == '\\' && i + 1 < inner.size()) {
            const char next = inner[i + 1];
            if (next == '"' || next == '$' || next == '\\' || next == '`') {
                result += next;
                ++i;
                continue;
            }
        }
        result += c;
    }
    return result;
}

std::string unquote(std::string_view value) {
    if (!value.empty() && value.front() == '\'') {
        if (value.size() < 2 || value.back() != '\'') {
            base::throw_error("unterminated single-quoted configuration value");
        }
        return std::string(value.substr(1, value.size() - 2));
    }
    if (!value.empty() && value.front() == '"') {
        if (value.size() < 2 || value.back() != '"') {
            base::throw_error("unterminated double-quoted configuration value");
        }
        return unescape_double_quoted(value.substr(1, value.size() - 2));
    }
    return std::string(value);
}

RawValues parse_lines(std::string_view text) {
    RawValues values;
    std::size_t line_number = 0;
    for (const std::string_view raw_line : base::split(text, '\n')) {
        ++line_number;
        const std::string_view line = base::trim(raw_line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            base::throw_error("invalid configuration line " + std::to_string(line_number) +
                              ": expected KEY=VALUE");
        }
        const std::string_view key = base::trim(line.substr(0, equals));
        if (!is_valid_key(key)) {
            base::throw_error("invalid configuration key on line " + std::to_string(line_number));
        }
        values.insert_or_assign(std::string(key), unquote(base::trim(line.substr(equals + 1))));
    }
    return values;
}

// Looks a key up; the stored value is trimmed again, so quotes never preserve outer blanks.
std::optional<std::string> lookup(const RawValues& values, std::string_view key) {
    const auto found = values.find(key);
    if (found == values.end()) {
        return std::nullopt;
    }
    return std::string(base::trim(found->second));
}

// The value of a key that keeps its default when absent or empty.
std::optional<std::string> non_empty(const RawValues& values, std::string_view key) {
    std::optional<std::string> value = lookup(values, key);
    if (value && value->empty()) {
        return std::nullopt;
    }
    return value;
}

std::filesystem::path checked_absolute_path(const std::string& value, std::string_view key) {
    if (value.empty() || value.front() != '/') {
        base::throw_error(std::string(key) + " must be an absolute path");
    }
    // A NUL byte would silently cut the path short at every system call, naming another file.
    bool unsafe = value.find('\0') != std::string::npos;
    for (const std::string& component : base::path_components(value)) {
        unsafe = unsafe || component == "..";
    }
    if (unsafe) {
        base::throw_error(std::string(key) + " contains unsafe path components");
    }
    return std::filesystem::path(value);
}

bool is_root(const std::filesystem::path& path) {
    return base::same_path(path, "/");
}

// The data directory lives under the boot root, so it must stay inside it: plain names only.
std::filesystem::path checked_data_directory(const std::string& value) {
    const std::string relative = !value.empty() && value.front() == '/' ? value.substr(1) : value;
    // Judged on the text rather than on parsed components, which drop "." silently: the boot
    // data chain refuses every "." and ".." on its way, so such a value would fail every run
    // only after the archive had changed.
    bool plain =
        !relative.empty() && relative.front() != '/' && relative.find('\0') == std::string::npos;
    bool named = false;
    for (std::string_view piece : base::split(relative, '/')) {
        if (piece.empty()) {
            continue;
        }
        named = true;
        plain = plain && base::is_ordinary_name(std::string(piece));
    }
    plain = plain && named;
    if (!plain) {
        base::throw_error("unsafe DATA_DIRECTORY: " + value);
    }
    return std::filesystem::path(relative);
}

std::string checked_snapper_config(const std::string& value) {
    bool valid = !value.empty() && value.size() <= 128;
    for (const char c : value) {
        if (!base::is_portable_name_char(c)) {
            valid = false;
        }
    }
    if (!valid) {
        base::throw_error("invalid SNAPPER_CONFIG: " + value);
    }
    return value;
}

// Only the five separators a shell word list uses; vertical tab is part of a word.
bool is_watch_path_separator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

std::vector<std::filesystem::path> checked_watch_paths(const std::string& value) {
    std::vector<std::filesystem::path> paths;
    std::size_t pos = 0;
    while (pos < value.size()) {
        while (pos < value.size() && is_watch_path_separator(value[pos]))
            ++pos;
        const std::size_t start = pos;
        while (pos < value.size() && !is_watch_path_separator(value[pos]))
            ++pos;
        if (pos == start) {
            break;
        }
        const std::filesystem::path path =
            checked_absolute_path(value.substr(start, pos - start), "WATCH_PATHS");
        if (is_root(path)) {
            base::throw_error(
                "WATCH_PATHS must name snapshot parent directories, not the filesystem root");
        }
        bool duplicate = false;
        for (const std::filesystem::path& taken : paths) {
            duplicate = duplicate || base::same_path(taken, path);
        }
        if (!duplicate) {
            paths.push_back(path);
        }
    }
    if (paths.empty()) {
        base::throw_error("WATCH_PATHS must contain at least one absolute path");
    }
    return paths;
}

std::uint64_t checked_number(const std::string& value, std::string_view key) {
    const std::string_view digits =
        value.starts_with('+') ? std::string_view(value).substr(1) : std::string_view(value);
    bool valid = !digits.empty();
    for (const char c : digits) {
        valid = valid && c >= '0' && c <= '9';
    }
    std::uint64_t number = 0;
    // With only digits left, from_chars can fail only by overflow.
    if (!valid ||
        std::from_chars(digits.data(), digits.data() + digits.size(), number).ec != std::errc()) {
        base::throw_error(std::string(key) + " must be a non-negative integer");
    }
    return number;
}

bool is_true_word(const std::string& value) {
    const std::string lower = base::to_lower_ascii(value);
    return lower == "1" || lower == "on" || lower == "yes" || lower == "true";
}

Config interpret(const RawValues& values) {
    Config config = default_config();
    if (auto value = non_empty(values, "PROVIDER")) {
        if (base::equals_ignore_ascii_case(*value, "btrfs")) {
            config.provider = ProviderKind::Btrfs;
        } else if (base::equals_ignore_ascii_case(*value, "snapper")) {
            config.provider = ProviderKind::Snapper;
        } else {
            base::throw_error("unsupported PROVIDER '" + *value +
                              "'; expected 'btrfs' or 'snapper'");
        }
    }
    if (auto value = non_empty(values, "BOOT_PATH")) {
        config.boot_path = checked_absolute_path(*value, "BOOT_PATH");
    }
    if (auto value = non_empty(values, "ENTRIES_DIRECTORY")) {
        config.entries_directory = checked_absolute_path(*value, "ENTRIES_DIRECTORY");
    }
    if (auto value = non_empty(values, "DATA_DIRECTORY")) {
        config.data_directory = checked_data_directory(*value);
    }
    if (auto value = non_empty(values, "ARCHIVE_PATH")) {
        config.archive_path = checked_absolute_path(*value, "ARCHIVE_PATH");
        if (is_root(config.archive_path)) {
            base::throw_error("ARCHIVE_PATH cannot be the filesystem root");
        }
    }
    if (auto value = non_empty(values, "TARGET_OS_NAME")) {
        config.target_os_name = *value;
    }
    if (auto value = non_empty(values, "MACHINE_ID_FILE")) {
        config.machine_id_file = checked_absolute_path(*value, "MACHINE_ID_FILE");
    }
    if (auto value = non_empty(values, "SNAPPER_CONFIG")) {
        config.snapper_config = checked_snapper_config(*value);
    }
    if (auto value = non_empty(values, "SNAPSHOTS_PATH")) {
        config.snapshots_path = checked_absolute_path(*value, "SNAPSHOTS_PATH");
    }
    // Present but empty is an error here: watching nothing is never what was meant.
    if (auto value = lookup(values, "WATCH_PATHS")) {
        config.watch_paths = checked_watch_paths(*value);
    }
    if (auto value = non_empty(values, "SNAPSHOT_LIMIT")) {
        config.snapshot_limit = checked_number(*value, "SNAPSHOT_LIMIT");
    }
    if (auto value = non_empty(values, "SNAPSHOT_KERNEL_LIMIT")) {
        config.snapshot_kernel_limit = checked_number(*value, "SNAPSHOT_KERNEL_LIMIT");
    }
    if (auto value = non_empty(values, "SNAPSHOT_ASSET_LIMIT_BYTES")) {
        config.snapshot_asset_limit_bytes = checked_number(*value, "SNAPSHOT_ASSET_LIMIT_BYTES");
    }
    if (auto value = lookup(values, "SNAPSHOT_KERNEL_PARAMETERS")) {
        config.snapshot_kernel_parameters = *value;
    }
    if (auto value = non_empty(values, "DEBOUNCE_MILLISECONDS")) {
        config.debounce_milliseconds = checked_number(*value, "DEBOUNCE_MILLISECONDS");
    }
    if (auto value = non_empty(values, "AUTH_METHOD")) {
        config.auth_method = *value;
    }
    if (auto value = lookup(values, "CREATE_SNAPPER_CONFIG"); value && is_true_word(*value)) {
        base::throw_error("snapwright does not create Snapper configurations or snapshots");
    }
    return config;
}

}  // namespace

Config default_config() {
    return Config{};
}

Config parse_config(std::string_view text) {
    return interpret(parse_lines(text));
}

}  // namespace snapwright::config
