"""The board read back from a game's state bytes: who covers each cell, the pieces left, and the
picture `render` draws. The engine reads the state bytes (`tavrin_rl._engine.decode_states`), so
their layout is written once; `decode_states` reads many states at once into numpy arrays.
`tavrin_rl.board` offers these with its SVG drawings."""

from __future__ import annotations

from typing import TYPE_CHECKING

from tavrin_rl._engine import STATE_SIZE
from tavrin_rl._engine import decode_states as _decode_states
from tavrin_rl._engine import picture as _picture
from tavrin_rl.catalogue import BOARD_SIDE, COLOURS, NUM_KINDS, NUM_SEATS

if TYPE_CHECKING:
    import numpy as np

_NOT_A_STATE = "Not a game state written by to_bytes() of this version"

# The engine's colour table, by agent index: names, the ANSI background of each agent's cells.
COLOUR_NAMES = tuple(name for name, _, _ in COLOURS)
AGENT_COLOURS = tuple(f"\x1b[{code}m" for _, code, _ in COLOURS)


def _decoded(state: bytes) -> tuple[bytes, bytes, bytes, bytes]:
    """The engine's reading of one state: owners, pieces, done flags and the agent to move."""
    if len(state) != STATE_SIZE:
        raise ValueError(_NOT_A_STATE)
    try:
        return _decode_states(state)
    except ValueError:
        raise ValueError(_NOT_A_STATE) from None


def decode_states(states: object) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Many states at once, as the engine reads them: `states` is K * 278 bytes (a bytes object
    or a (K, 278) uint8 array, as `VectorGames.to_bytes()` returns). Returns numpy arrays
    `owners` (K, 20, 20) int8 (the agent covering each board cell, -1 where free), `pieces`
    (K, 4, 21) uint8 (1 while the agent still holds the kind), `done` (K, 4) bool and `to_move`
    (K,) uint8. Raises ValueError naming the first state that is not a valid one."""
    import numpy as np

    owners, pieces, done, to_move = _decode_states(states)
    count = len(to_move)
    return (np.frombuffer(owners, dtype=np.int8).reshape(count, BOARD_SIDE, BOARD_SIDE),
            np.frombuffer(pieces, dtype=np.uint8).reshape(count, NUM_SEATS, NUM_KINDS),
            np.frombuffer(done, dtype=np.bool_).reshape(count, NUM_SEATS),
            np.frombuffer(to_move, dtype=np.uint8))


def cell_owners(state: bytes) -> list[list[int]]:
    """20 rows of 20 entries: the agent index covering each board cell, or -1 where it is free.

    `state` is the 278 bytes of `PyTavrin.to_bytes()`. Should two agents hold a cell (only a
    hand-made state can do that), the lower agent index is shown, as `render` does.
    """
    owners = [owner if owner < 128 else owner - 256 for owner in _decoded(state)[0]]
    return [owners[row * BOARD_SIDE:(row + 1) * BOARD_SIDE] for row in range(BOARD_SIDE)]


def picture(state: bytes) -> str:
    """The coloured text picture of the board in `state`, exactly what `PyTavrin.render` prints
    without its final line feed (drawn by the engine's own code)."""
    if len(state) != STATE_SIZE:
        raise ValueError(_NOT_A_STATE)
    return _picture(state)


def piece_masks(state: bytes) -> list[int]:
    """Each agent's remaining-pieces mask in `state` (`to_bytes()`): bit n is set while the kind
    `PIECE_NAMES[n]` is still to be placed."""
    pieces = _decoded(state)[1]
    return [sum(pieces[agent * NUM_KINDS + n] << n for n in range(NUM_KINDS))
            for agent in range(NUM_SEATS)]
