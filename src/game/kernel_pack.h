// The tables with which the wide kernels pack a board's non-zero words to the front of the anchor
// list. Include only from kernel_body.h, after defining TAVRIN_LANES.
#pragma once

#include <cstdint>

#include "game/kernels.h"

#if TAVRIN_LANES > 1
#include <immintrin.h>

namespace tavrin::kernels {
namespace {

#if TAVRIN_LANES > 1
// For each set of non-zero words (a byte), their word numbers packed to the front, one per byte:
// stored with one scalar store, where packing them would take the shuffle port, the kernel's
// bottleneck.
struct PackedWords {
    std::uint64_t v[256];
};
constexpr PackedWords PACKED_WORDS = [] {
    PackedWords t{};
    for (unsigned m = 0; m < 256; ++m)
        for (unsigned j = 0, k = 0; j < WORDS; ++j)
            if ((m >> j) & 1u) t.v[m] |= std::uint64_t{j} << (8 * k++);
    return t;
}();
#endif

#if TAVRIN_LANES == 4
// For each set of non-zero words of four (a nibble), the 32-bit lane indexes that move those words
// to the front of a 256-bit register: AVX2 has no compress, and one table lookup and one cross-lane
// permute do its work.
struct Compress4 {
    alignas(32) std::int32_t v[16][8];
};
constexpr Compress4 COMPRESS4 = [] {
    Compress4 t{};
    for (unsigned m = 0; m < 16; ++m)
        for (unsigned j = 0, k = 0; j < 4; ++j)
            if ((m >> j) & 1u) {
                t.v[m][2 * k] = static_cast<std::int32_t>(2 * j);
                t.v[m][2 * k + 1] = static_cast<std::int32_t>(2 * j + 1);
                ++k;
            }
    return t;
}();

// The non-zero words of four, as a nibble.
inline unsigned nonzero_of_four(__m256i v) noexcept {
    const __m256i zero = _mm256_cmpeq_epi64(v, _mm256_setzero_si256());
    return ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(zero))) & 15u;
}
#endif

}  // namespace
}  // namespace tavrin::kernels
#endif
