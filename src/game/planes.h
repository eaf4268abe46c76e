// Boards as byte planes: 400 bytes, one per cell in row order, 0 or 1. The single-game observation
// and the batch's observation arrays both write them here.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "game/bitboard/bitboard.h"

namespace tavrin {

inline constexpr std::size_t CELL_COUNT = std::size_t{BOARD_SIDE} * BOARD_SIDE;  // 400

namespace planes_detail {
// SPREAD[b] holds byte j = bit j of b, in memory order.
inline constexpr std::array<std::uint64_t, 256> SPREAD = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned j = 0; j < 8; ++j)
            if ((b >> j) & 1u) t[b] |= std::uint64_t{1} << (8 * (std::endian::native == std::endian::little ? j : 7 - j));
    return t;
}();

}  // namespace planes_detail

// The cells of `b` as a plane; every byte is written, so `out` needs no clearing beforehand. Row
// by row, eight cells per table read and 8-byte store: a board with hundreds of cells costs no
// more than an empty one. Inline, as an observation writes a dozen planes of a few dozen
// instructions each.
inline void write_plane(const Bitboard& b, std::uint8_t* out) noexcept {
    using planes_detail::SPREAD;
    // The words copied out once: a Bitboard's word is half a 128-bit limb, picked per read.
    std::array<std::uint64_t, Bitboard::WORDS> w;
    for (unsigned i = 0; i < Bitboard::WORDS; ++i) w[i] = b.word(i);
    for (unsigned r = 0; r < BOARD_SIDE; ++r, out += BOARD_SIDE) {
        const unsigned p = r * ROW_STRIDE, s = p % 64;
        std::uint64_t v = w[p / 64] >> s;
        if (s > 64 - BOARD_SIDE) v |= w[p / 64 + 1] << (64 - s);  // never past the last word
        const std::uint64_t lo = SPREAD[v & 0xff], mid = SPREAD[(v >> 8) & 0xff], hi = SPREAD[(v >> 16) & 0x0f];
        std::memcpy(out, &lo, 8);
        std::memcpy(out + 8, &mid, 8);
        std::memcpy(out + 16, &hi, 4);
    }
}

// A plane of one value. A plane 16-byte aligned is written with streaming stores where it fills
// whole cache lines; end_writes orders them.
void fill_plane(std::uint8_t* out, std::uint8_t value) noexcept;

// `bytes` (a multiple of 16) from `from` (16-byte aligned) to `to`, with streaming stores when
// `to` is aligned too.
void stream_copy(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) noexcept;

// Makes this thread's streaming stores visible; a thread calls it before it reports its work done.
void end_writes() noexcept;

}  // namespace tavrin
