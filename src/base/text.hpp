#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace snapwright::base {

// Decodes bytes as UTF-8, replacing every invalid sequence by U+FFFD (the "maximal subpart"
// rule, so one bad byte becomes one replacement character).
std::string lossy_utf8(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// Unicode White_Space, on text that is valid UTF-8.
bool is_unicode_space(char32_t code_point);
bool is_ascii_space(char c);
// Trims Unicode white space at both ends (invalid UTF-8 is never trimmed into).
std::string_view trim(std::string_view text);
// Trims only ASCII white space (blank, tab, line feed, vertical tab, form feed, carriage return).
std::string_view trim_ascii(std::string_view text);
// Splits at runs of Unicode white space; never yields empty pieces.
std::vector<std::string_view> split_unicode_whitespace(std::string_view text);
// Splits at runs of ASCII white space; never yields empty pieces.
std::vector<std::string_view> split_ascii_whitespace(std::string_view text);
// Splits at every occurrence of `separator`; yields empty pieces.
std::vector<std::string_view> split(std::string_view text, char separator);
// Splits text into lines at "\n", dropping one "\r" before each line end. A final line
// without "\n" counts; text ending in "\n" yields no empty last line.
std::vector<std::string_view> split_lines(std::string_view text);

std::string to_lower_ascii(std::string_view text);
bool equals_ignore_ascii_case(std::string_view a, std::string_view b);
bool is_ascii_hex_digit(char c);
// The portable file-name characters: ASCII letters and digits, ".", "_" and "-".
bool is_portable_name_char(char c);

// Decodes the UTF-8 sequence at `text[pos]`; returns the code point and advances `pos`.
// Invalid input yields U+FFFD and advances by one byte.
char32_t decode_utf8(std::string_view text, std::size_t& pos);
void append_utf8(std::string& out, char32_t code_point);

}  // namespace snapwright::base
