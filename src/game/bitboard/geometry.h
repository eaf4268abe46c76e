// The board's geometry as constants alone: the wide kernels include it too, and a file built for
// wider instructions may see no inline function another file could take its copy of.
#pragma once

namespace tavrin {

// Board geometry: 20 rows of 20 cells, each row followed by one spare position so that a shift by
// ±1 off the end of a row lands on a position that VALID_CELLS masks out.
inline constexpr unsigned BOARD_SIDE = 20;
inline constexpr unsigned ROW_STRIDE = BOARD_SIDE + 1;
inline constexpr unsigned POSITION_COUNT = BOARD_SIDE * ROW_STRIDE;  // 420
inline constexpr unsigned BIT_COUNT = 512;
inline constexpr unsigned IMAGE_SIZE = BIT_COUNT / 8;  // 64

// Neighbour steps in positions. Every board shift is by one of these, toward higher positions (a
// Bitboard's <<, toward_higher in the kernels) or lower (>>, toward_lower); orthogonal_grow and
// diagonal_grow add a board's neighbours along the first two and the last two.
inline constexpr unsigned STEP_RIGHT = 1;
inline constexpr unsigned STEP_DOWN = ROW_STRIDE;               // 21
inline constexpr unsigned STEP_DOWN_LEFT = ROW_STRIDE - 1;      // 20
inline constexpr unsigned STEP_DOWN_RIGHT = ROW_STRIDE + 1;     // 22

}  // namespace tavrin
