// Boards as byte planes: 400 bytes, one per cell in row order, 0 or 1. The single-game observation
// and the batch's observation arrays both write them here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "game/bitboard/bitboard.h"

namespace tavrin {

inline constexpr std::size_t CELL_COUNT = std::size_t{BOARD_SIDE} * BOARD_SIDE;  // 400

// The cells of `b` as a plane; every byte is written, so `out` needs no clearing beforehand.
void write_plane(const Bitboard& b, std::uint8_t* out) noexcept;

// A plane of one value. A plane 16-byte aligned is written with streaming stores where it fills
// whole cache lines; end_writes orders them.
void fill_plane(std::uint8_t* out, std::uint8_t value) noexcept;

// `bytes` (a multiple of 16) from `from` (16-byte aligned) to `to`, with streaming stores when
// `to` is aligned too.
void stream_copy(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) noexcept;

// Makes this thread's streaming stores visible; a thread calls it before it reports its work done.
void end_writes() noexcept;

}  // namespace tavrin
