#pragma once

// Block functions of SHA-256: each processes `count` consecutive 64-byte blocks into `state`.
#include <cstddef>
#include <cstdint>

namespace snapwright::store::detail {

void sha256_blocks_portable(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count);

#if defined(__x86_64__)
// Only call where the CPU reports SHA, SSSE3 and SSE4.1.
void sha256_blocks_shani(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count);
#endif

}  // namespace snapwright::store::detail
