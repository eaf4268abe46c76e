"""The board's one symmetry that keeps the mover's corner: the mirror in its diagonal.

In the mover's frame (its corner at (0, 0)) the mirror transposes rows and columns. The corner
opposite stays put, so seats 0 and 2 keep their places while seats 1 and 3 trade corners; every
piece's mirror image is again one of its orientations, so the action grid maps onto itself:
(orientation o, row r, column c) goes to (`MIRROR_ORIENTATIONS[o]`, c, r), the anchor being the
top-left corner of the bounding box, which the transpose keeps a top-left corner. The orientation
map is derived from the engine's own orientation cells (`tavrin_rl.catalogue`), not restated.

A mirrored position is a real position: replaying each seat's placements mirrored, seats 1 and 3
swapped, gives a game whose legal placements are exactly the mirrors of the original's (each
seat's placements meet only its own earlier ones, so the order between seats does not matter).
Training on mirrored positions (`augment`) shows the net each position in both forms.
"""

from __future__ import annotations

import numpy as np

from tavrin_rl.catalogue import BOARD_CHANNELS, BOARD_SIDE, NUM_SEATS, ORIENTATION_CELLS

__all__ = ["MIRROR_ORIENTATIONS", "SEAT_MIRROR", "mirror_actions", "mirror_board",
           "mirror_pieces"]

_BY_CELLS = {frozenset(cells): o for o, cells in enumerate(ORIENTATION_CELLS)}
#: The mirrored orientation of each orientation (an involution).
MIRROR_ORIENTATIONS: np.ndarray = np.array(
    [_BY_CELLS[frozenset((c, r) for r, c in cells)] for cells in ORIENTATION_CELLS], np.int64)
#: Where each seat goes, counted from the mover.
SEAT_MIRROR = np.array([0, 3, 2, 1])
_CELLS = BOARD_SIDE * BOARD_SIDE
_BOARD_GROUPS = BOARD_CHANNELS // NUM_SEATS  # cells, corners and blocked cells


def mirror_actions(actions: np.ndarray) -> np.ndarray:
    """The mirrors of grid indexes (any shape) in the mover's frame."""
    actions = np.asarray(actions, dtype=np.int64)
    orientation, cell = np.divmod(actions, _CELLS)
    row, column = np.divmod(cell, BOARD_SIDE)
    return MIRROR_ORIENTATIONS[orientation] * _CELLS + column * BOARD_SIDE + row  # type: ignore[no-any-return]


def mirror_board(board: np.ndarray) -> np.ndarray:
    """Compact board planes (B, 12, 20, 20), three groups of four seats, mirrored."""
    b = board.shape[0]
    grouped = board.reshape(b, _BOARD_GROUPS, NUM_SEATS, BOARD_SIDE, BOARD_SIDE)[:, :, SEAT_MIRROR]
    return np.ascontiguousarray(grouped.transpose(0, 1, 2, 4, 3).reshape(board.shape))


def mirror_pieces(per_seat: np.ndarray) -> np.ndarray:
    """Per-seat arrays (B, 4, ...) such as pieces or out-of-moves flags, seats 1 and 3 swapped."""
    return np.ascontiguousarray(per_seat[:, SEAT_MIRROR])
