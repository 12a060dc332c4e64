#include "store/sha256.hpp"

#include <cstring>
#include <stdexcept>

#include "store/sha256_blocks.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace snapwright::store {
namespace detail {
namespace {

inline std::uint32_t rotate_right(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline std::uint32_t load_big_endian(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

}  // namespace

void sha256_blocks_portable(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count) {
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t) {
            w[t] = load_big_endian(blocks + 4 * t);
        }
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 =
                rotate_right(w[t - 15], 7) ^ rotate_right(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 =
                rotate_right(w[t - 2], 17) ^ rotate_right(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t sum1 =
                rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
            const std::uint32_t choose = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + sum1 + choose + kRoundConstants[t] + w[t];
            const std::uint32_t sum0 =
                rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = sum0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

}  // namespace detail

namespace {

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

bool cpu_has_sha_extensions() {
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) {
        return false;
    }
    const bool ssse3 = (c & (1u << 9)) != 0;
    const bool sse41 = (c & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) {
        return false;
    }
    const bool sha = (b & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
#else
    return false;
#endif
}

Sha256::BlockFunction block_function(Sha256Backend backend) {
    static const bool has_sha_extensions = cpu_has_sha_extensions();
    switch (backend) {
        case Sha256Backend::Portable:
            return detail::sha256_blocks_portable;
        case Sha256Backend::ShaExtensions:
#if defined(__x86_64__)
            if (has_sha_extensions) {
                return detail::sha256_blocks_shani;
            }
#endif
            throw std::invalid_argument("this CPU has no SHA extensions");
        case Sha256Backend::Automatic:
            break;
    }
#if defined(__x86_64__)
    if (has_sha_extensions) {
        return detail::sha256_blocks_shani;
    }
#endif
    return detail::sha256_blocks_portable;
}

}  // namespace

bool sha256_backend_available(Sha256Backend backend) {
    return backend != Sha256Backend::ShaExtensions || cpu_has_sha_extensions();
}

Sha256::Sha256(Sha256Backend backend) : blocks_(block_function(backend)) {
    std::memcpy(state_, kInitialState, sizeof state_);
}

void Sha256::update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    total_bytes_ += size;
    if (pending_size_ > 0) {
        const std::size_t take = std::min(size, sizeof pending_ - pending_size_);
        std::memcpy(pending_ + pending_size_, bytes, take);
        pending_size_ += take;
        bytes += take;
        size -= take;
        if (pending_size_ < sizeof pending_) {
            return;
        }
        blocks_(state_, pending_, 1);
        pending_size_ = 0;
    }
    // Whole blocks are hashed straight from the caller's buffer.
    const std::size_t whole = size / 64;
    if (whole > 0) {
        blocks_(state_, bytes, whole);
        bytes += whole * 64;
        size -= whole * 64;
    }
    std::memcpy(pending_, bytes, size);
    pending_size_ = size;
}

Sha256Digest Sha256::finish() {
    const std::uint64_t bit_length = total_bytes_ * 8;
    std::uint8_t tail[128] = {};
    std::memcpy(tail, pending_, pending_size_);
    tail[pending_size_] = 0x80;
    const std::size_t tail_size = pending_size_ + 1 + 8 <= 64 ? 64 : 128;
    for (int i = 0; i < 8; ++i) {
        tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bit_length >> (8 * i));
    }
    blocks_(state_, tail, tail_size / 64);
    pending_size_ = 0;
    Sha256Digest digest{};
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
    }
    return digest;
}

std::string sha256_hex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
    }
    return text;
}

std::string sha256_hex(std::string_view bytes, Sha256Backend backend) {
    Sha256 hash(backend);
    hash.update(bytes);
    return sha256_hex(hash.finish());
}

}  // namespace snapwright::store
