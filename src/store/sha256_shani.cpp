// Built with the SHA extensions enabled: nothing here may run before the caller has checked
// that the CPU has them.
#include "store/sha256_blocks.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

namespace snapwright::store::detail {
namespace {

// Four rounds on the message words in message[group % 4], interleaved with the schedule
// steps that prepare the words of later groups. `group` is a constant after unrolling, so the
// branches disappear.
__attribute__((always_inline)) inline void four_rounds(int group, __m128i message[4], __m128i& abef,
                                                       __m128i& cdgh) {
    __m128i& current = message[group % 4];
    __m128i words = _mm_add_epi32(
        current, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * group])));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
    if (group >= 3 && group <= 14) {
        __m128i& next = message[(group + 1) % 4];
        const __m128i& previous = message[(group + 3) % 4];
        next = _mm_add_epi32(next, _mm_alignr_epi8(current, previous, 4));
        next = _mm_sha256msg2_epu32(next, current);
    }
    words = _mm_shuffle_epi32(words, 0x0e);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, words);
    if (group >= 1 && group <= 12) {
        __m128i& previous = message[(group + 3) % 4];
        previous = _mm_sha256msg1_epu32(previous, current);
    }
}

}  // namespace

void sha256_blocks_shani(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    // The instructions keep the state as (A, B, E, F) and (C, D, G, H).
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        __m128i message[4];
        for (int i = 0; i < 4; ++i) {
            message[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), byte_swap);
        }
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            four_rounds(group, message, abef, cdgh);
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
    dcba = _mm_blend_epi16(feba, dchg, 0xf0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}

}  // namespace snapwright::store::detail

#endif
