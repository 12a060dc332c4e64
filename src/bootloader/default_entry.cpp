#include "bootloader/default_entry.hpp"

#include <algorithm>
#include <compare>

#include "base/text.hpp"

namespace snapwright::bootloader {
namespace {

constexpr std::string_view kConfSuffix = ".conf";

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_version_char(char c) {
    return is_digit(c) || is_alpha(c) || c == '~' || c == '-' || c == '^' || c == '.';
}

int sign(std::ptrdiff_t value) {
    return (value > 0) - (value < 0);
}

// Calls `take(key, value)` for every "key value" line under the boot loader's line rules.
template <typename Take>
void for_each_setting(std::string_view text, Take take) {
    for (std::string_view line : base::split(text, '\n')) {
        line = base::trim_ascii(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t gap = line.find_first_of(" \t");
        if (gap == std::string_view::npos) {
            continue;
        }
        const std::string_view key = line.substr(0, gap);
        std::string_view value = base::trim_ascii(line.substr(gap));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        take(key, value);
    }
}

std::optional<std::uint64_t> parse_count(std::string_view digits) {
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), is_digit)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// Splits "name+LEFT[-DONE].conf" into the entry ID "name.conf" and its counters; a name
// without a valid counter is its own ID.
void read_boot_counter(MenuEntry& entry) {
    std::string_view name = entry.file_name;
    std::string_view suffix;
    if (name.ends_with(kConfSuffix)) {
        suffix = kConfSuffix;
        name.remove_suffix(kConfSuffix.size());
    }
    const std::size_t plus = name.rfind('+');
    if (plus != std::string_view::npos) {
        const std::string_view counter = name.substr(plus + 1);
        const std::size_t dash = counter.find('-');
        const std::optional<std::uint64_t> left = parse_count(counter.substr(0, dash));
        const std::optional<std::uint64_t> done = dash == std::string_view::npos
                                                      ? std::optional<std::uint64_t>(0)
                                                      : parse_count(counter.substr(dash + 1));
        if (left && done) {
            entry.tries_left = left;
            entry.tries_done = done;
            entry.id = std::string(name.substr(0, plus)) + std::string(suffix);
        }
    }
    entry.id = base::to_lower_ascii(entry.id);
}

// A byte comparison in which a missing value sorts first.
int compare_optional(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (!a || !b) {
        return static_cast<int>(a.has_value()) - static_cast<int>(b.has_value());
    }
    return sign(a->compare(*b));
}

int compare_optional_versions(const std::optional<std::string>& a,
                              const std::optional<std::string>& b) {
    return compare_versions(a.value_or(""), b.value_or(""));
}

// Negative when `a` comes first in the menu.
int menu_order(const MenuEntry& a, const MenuEntry& b) {
    const bool a_bad = a.tries_left == std::uint64_t{0};
    const bool b_bad = b.tries_left == std::uint64_t{0};
    if (a_bad != b_bad) {
        return a_bad ? 1 : -1;
    }
    if (a.sort_key.has_value() != b.sort_key.has_value()) {
        return a.sort_key ? -1 : 1;
    }
    if (a.sort_key) {
        if (const int r = sign(a.sort_key->compare(*b.sort_key))) {
            return r;
        }
        if (const int r = compare_optional(a.machine_id, b.machine_id)) {
            return r;
        }
        if (const int r = compare_optional_versions(a.version, b.version)) {
            return -r;
        }
    }
    if (const int r = compare_versions(a.id, b.id)) {
        return -r;
    }
    if (!a.tries_left || !b.tries_left) {
        return 0;
    }
    if (*a.tries_left != *b.tries_left) {
        return *a.tries_left > *b.tries_left ? -1 : 1;
    }
    return *a.tries_done == *b.tries_done ? 0 : (*a.tries_done < *b.tries_done ? -1 : 1);
}

// Whether `text` at `t` starts with one pattern character at `p` (a set, a quoted or a plain
// character); advances both past it on a match.
bool match_one(std::string_view pattern, std::size_t& p, std::string_view text, std::size_t& t) {
    if (t >= text.size()) {
        return false;
    }
    const char c = text[t];
    if (pattern[p] == '?') {
        ++p;
        ++t;
        return true;
    }
    if (pattern[p] == '[') {
        std::size_t q = p + 1;
        bool found = false;
        bool closed = false;
        // The character a "-" would start a range from; ranges do not chain.
        bool can_range = false;
        char previous = 0;
        while (q < pattern.size()) {
            if (pattern[q] == ']' && q > p + 1) {
                closed = true;
                break;
            }
            if (pattern[q] == '-' && can_range && q + 1 < pattern.size() && pattern[q + 1] != ']') {
                if (previous <= c && c <= pattern[q + 1]) {
                    found = true;
                }
                can_range = false;
                q += 2;
                continue;
            }
            found = found || pattern[q] == c;
            previous = pattern[q];
            can_range = true;
            ++q;
        }
        if (!closed || !found) {
            return false;
        }
        p = q + 1;
        ++t;
        return true;
    }
    if (pattern[p] == '\\' && p + 1 < pattern.size()) {
        ++p;
    }
    if (pattern[p] != c) {
        return false;
    }
    ++p;
    ++t;
    return true;
}

}  // namespace

std::optional<MenuEntry> read_menu_entry(std::string_view file_name, std::string_view text) {
    MenuEntry entry;
    entry.file_name = std::string(file_name);
    entry.id = entry.file_name;
    bool has_image = false;
    for_each_setting(text, [&](std::string_view key, std::string_view value) {
        if (key == "sort-key") {
            entry.sort_key = std::string(value);
        } else if (key == "machine-id") {
            entry.machine_id = std::string(value);
        } else if (key == "version") {
            entry.version = std::string(value);
        } else if (key == "linux" || key == "efi" || key == "uki" || key == "uki-url") {
            has_image = true;
        }
    });
    if (!has_image) {
        return std::nullopt;
    }
    read_boot_counter(entry);
    return entry;
}

std::optional<std::string> loader_default(std::string_view loader_conf) {
    std::optional<std::string> found;
    for_each_setting(loader_conf, [&](std::string_view key, std::string_view value) {
        if (key == "default") {
            found = std::string(value);
        }
    });
    return found;
}

int compare_versions(std::string_view a, std::string_view b) {
    if (a.empty() || b.empty()) {
        return static_cast<int>(!a.empty()) - static_cast<int>(!b.empty());
    }
    std::size_t i = 0;
    std::size_t j = 0;
    const auto at = [](std::string_view s, std::size_t k) { return k < s.size() ? s[k] : '\0'; };
    for (;;) {
        while (i < a.size() && !is_version_char(a[i])) {
            ++i;
        }
        while (j < b.size() && !is_version_char(b[j])) {
            ++j;
        }
        // A "~" segment is older than anything, even the end of the other string.
        if (at(a, i) == '~' || at(b, j) == '~') {
            if ((at(a, i) == '~') != (at(b, j) == '~')) {
                return at(a, i) == '~' ? -1 : 1;
            }
            ++i;
            ++j;
        }
        if (i >= a.size() || j >= b.size()) {
            return static_cast<int>(i < a.size()) - static_cast<int>(j < b.size());
        }
        for (const char separator : {'-', '^', '.'}) {
            if (at(a, i) == separator || at(b, j) == separator) {
                if ((at(a, i) == separator) != (at(b, j) == separator)) {
                    return at(a, i) == separator ? -1 : 1;
                }
                ++i;
                ++j;
            }
        }
        std::size_t ii = i;
        std::size_t jj = j;
        if (is_digit(at(a, i)) || is_digit(at(b, j))) {
            while (is_digit(at(a, ii))) {
                ++ii;
            }
            while (is_digit(at(b, jj))) {
                ++jj;
            }
            if ((ii > i) != (jj > j)) {
                return ii > i ? 1 : -1;
            }
            while (at(a, i) == '0' && i < ii) {
                ++i;
            }
            while (at(b, j) == '0' && j < jj) {
                ++j;
            }
            if (ii - i != jj - j) {
                return ii - i > jj - j ? 1 : -1;
            }
            if (const int r = sign(a.substr(i, ii - i).compare(b.substr(j, jj - j)))) {
                return r;
            }
        } else {
            while (is_alpha(at(a, ii))) {
                ++ii;
            }
            while (is_alpha(at(b, jj))) {
                ++jj;
            }
            const std::size_t common = std::min(ii - i, jj - j);
            if (const int r = sign(a.substr(i, common).compare(b.substr(j, common)))) {
                return r;
            }
            if (ii - i != jj - j) {
                return ii - i > jj - j ? 1 : -1;
            }
        }
        i = ii;
        j = jj;
    }
}

bool glob_matches(std::string_view pattern, std::string_view text) {
    // Backtracking only to the last "*" keeps the match linear in practice.
    std::size_t p = 0;
    std::size_t t = 0;
    std::optional<std::size_t> star_p;
    std::size_t star_t = 0;
    while (t < text.size() || p < pattern.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star_p = ++p;
            star_t = t;
            continue;
        }
        std::size_t next_p = p;
        std::size_t next_t = t;
        if (p < pattern.size() && match_one(pattern, next_p, text, next_t)) {
            p = next_p;
            t = next_t;
            continue;
        }
        if (!star_p || star_t >= text.size()) {
            return false;
        }
        p = *star_p;
        t = ++star_t;
    }
    return true;
}

void sort_menu(std::vector<MenuEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const MenuEntry& a, const MenuEntry& b) { return menu_order(a, b) < 0; });
}

std::optional<DefaultChoice> choose_default_entry(const std::vector<MenuEntry>& menu,
                                                  const DefaultSettings& settings,
                                                  const std::vector<std::string>& other_ids) {
    if (menu.empty()) {
        return std::nullopt;
    }
    // Where a step lands: on an entry of the menu, outside it, or on nothing (the next step).
    struct Found {
        std::optional<std::size_t> index;
        bool outside = false;
    };
    const auto find = [&](const std::optional<std::string>& pattern) -> Found {
        if (!pattern) {
            return {};
        }
        const std::string folded = base::to_lower_ascii(*pattern);
        for (std::size_t i = 0; i < menu.size(); ++i) {
            if (glob_matches(folded, menu[i].id)) {
                return {i, false};
            }
        }
        return {std::nullopt,
                std::any_of(other_ids.begin(), other_ids.end(), [&](const std::string& id) {
                    return glob_matches(folded, base::to_lower_ascii(id));
                })};
    };
    const auto is_saved = [](const std::optional<std::string>& value) {
        return value && base::to_lower_ascii(*value) == "@saved";
    };
    const bool efi_saved = is_saved(settings.efi_default);
    const bool configured_saved = is_saved(settings.configured);
    const struct {
        std::optional<std::string> pattern;
        DefaultSource source;
    } steps[] = {
        {settings.one_shot, DefaultSource::OneShot},
        {efi_saved ? settings.saved : settings.efi_default,
         efi_saved ? DefaultSource::Saved : DefaultSource::EfiDefault},
        // The EFI default's "@saved" has already looked for the saved entry.
        {configured_saved ? (efi_saved ? std::nullopt : settings.saved) : settings.configured,
         configured_saved ? DefaultSource::Saved : DefaultSource::Configured},
    };
    for (const auto& step : steps) {
        const Found found = find(step.pattern);
        if (found.index) {
            return DefaultChoice{*found.index, step.source};
        }
        if (found.outside) {
            return std::nullopt;
        }
    }
    return DefaultChoice{0, DefaultSource::FirstEntry};
}

const std::vector<std::string>& loader_own_entry_ids() {
    static const std::vector<std::string> ids = {
        "auto-efi-default", "auto-efi-shell", "auto-osx",
        "auto-poweroff",    "auto-reboot",    "auto-reboot-to-firmware-setup",
        "auto-windows",
    };
    return ids;
}

}  // namespace snapwright::bootloader
