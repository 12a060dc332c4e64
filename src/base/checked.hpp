#pragma once

#include <cstdint>
#include <limits>

#include "base/app_error.hpp"

namespace snapwright::base {

// Sizes and counts are unsigned 64-bit; every overflow fails with its own message.
inline std::uint64_t checked_add(std::uint64_t a, std::uint64_t b, const char* overflow_message) {
    std::uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        throw_error(overflow_message);
    }
    return sum;
}

inline std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b, const char* overflow_message) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        throw_error(overflow_message);
    }
    return product;
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

}  // namespace snapwright::base
