#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace snapwright::base {

namespace fs = std::filesystem;

// The components of a path as a path parser sees them: a leading "/" for an absolute path,
// then every name; repeated slashes and "." components vanish, ".." is kept as a name.
std::vector<std::string> path_components(const fs::path& path);
// Equality component by component, so "/" equals "//" and "/a/./b" equals "/a/b".
bool same_path(const fs::path& a, const fs::path& b);
// Whether `prefix` is a prefix of `path` by whole components (/boot is a prefix of /boot/efi,
// not of /bootx).
bool path_starts_with(const fs::path& path, const fs::path& prefix);
// The path shown to a person: its bytes as UTF-8 with invalid sequences replaced.
std::string display_path(const fs::path& path);
// `base` joined with `relative`, never restarting at "/" when `relative` is absolute: every
// leading "/" of `relative` is dropped first.
fs::path join_under(const fs::path& base, const fs::path& relative);
// Whether the component is an ordinary name (not empty, ".", ".." or a root).
bool is_ordinary_name(const std::string& component);

}  // namespace snapwright::base
