#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// What every target shares: the input as text, and a failed invariant reported as a crash, so
// that libFuzzer keeps the input and stops like for any sanitizer finding.
namespace snapwright::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The input's first line and what follows it (empty without a line feed).
struct FirstLine {
    std::string_view line;
    std::string_view rest;
};

inline FirstLine split_first_line(std::string_view input) {
    const std::size_t newline = input.find('\n');
    if (newline == std::string_view::npos)
        return {input, {}};
    return {input.substr(0, newline), input.substr(newline + 1)};
}

inline void check(bool holds, const char* invariant) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", invariant);
        std::abort();
    }
}

}  // namespace snapwright::fuzz
