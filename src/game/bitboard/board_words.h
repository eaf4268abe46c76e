// Boards as eight plain 64-bit words (word i holds positions 64 i to 64 i + 63), for the step's
// short-lived boards. Built bit by bit, a Bitboard's 128-bit limbs are written in 64-bit halves
// and then read whole, a pattern the CPU cannot forward from its store buffer (each such read
// waits a dozen cycles or more); plain words are written and read at the same width.
#pragma once

#include <array>
#include <cstdint>

#include "game/bitboard/bitboard.h"

namespace tavrin {

using BoardWords = std::array<std::uint64_t, Bitboard::WORDS>;

inline BoardWords words_of(const Bitboard& b) noexcept {
    BoardWords w;
    for (unsigned j = 0; j < Bitboard::WORDS; ++j) w[j] = b.word(j);
    return w;
}

inline constexpr BoardWords VALID_WORDS = [] {
    BoardWords w{};
    for (unsigned j = 0; j < Bitboard::WORDS; ++j) w[j] = VALID_CELLS.word(j);
    return w;
}();

namespace detail {
// b and its neighbours A and B positions away either way, within the board.
template <unsigned A, unsigned B>
constexpr BoardWords grow(const BoardWords& b) noexcept {
    static_assert(A < 64 && B < 64);
    BoardWords r{};
    for (unsigned j = 0; j < Bitboard::WORDS; ++j) {
        std::uint64_t v = b[j] | (b[j] << A) | (b[j] >> A) | (b[j] << B) | (b[j] >> B);
        if (j > 0) v |= (b[j - 1] >> (64 - A)) | (b[j - 1] >> (64 - B));
        if (j + 1 < Bitboard::WORDS) v |= (b[j + 1] << (64 - A)) | (b[j + 1] << (64 - B));
        r[j] = v & VALID_WORDS[j];
    }
    return r;
}
}  // namespace detail

// The word forms of bitboard.h's grows, with the same results.
constexpr BoardWords orthogonal_grow(const BoardWords& b) noexcept { return detail::grow<STEP_RIGHT, STEP_DOWN>(b); }
constexpr BoardWords diagonal_grow(const BoardWords& b) noexcept {
    return detail::grow<STEP_DOWN_LEFT, STEP_DOWN_RIGHT>(b);
}

constexpr bool any_common(const BoardWords& a, const BoardWords& b) noexcept {
    std::uint64_t any = 0;
    for (unsigned j = 0; j < Bitboard::WORDS; ++j) any |= a[j] & b[j];
    return any != 0;
}

inline bool any_common(const Bitboard& a, const BoardWords& b) noexcept {
    std::uint64_t any = 0;
    for (unsigned j = 0; j < Bitboard::WORDS; ++j) any |= a.word(j) & b[j];
    return any != 0;
}

}  // namespace tavrin
