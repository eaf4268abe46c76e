"""The board read back from a game's state bytes, and drawn as `render` draws it.

`PyTavrin.render` writes its picture straight to file descriptor 1; `picture` builds the same text
as a Python string from `to_bytes()`, for logs, notebooks and the "ansi" render mode.
"""

from __future__ import annotations

from tavrin_rl.catalogue import BOARD_SIDE

STATE_SIZE = 278
STATE_VERSION = 1
_BLOCK_SIZE = 69  # 64-byte board image, 4-byte remaining-pieces mask, last kind
_IMAGE_SIZE = 64
_ROW_STRIDE = BOARD_SIDE + 1  # board positions keep a spare column after each row

# The ANSI background of each agent's cells, by agent index.
AGENT_COLOURS = ("\x1b[44m", "\x1b[43m", "\x1b[41m", "\x1b[42m")
COLOUR_NAMES = ("blue", "yellow", "red", "green")
_RESET = "\x1b[0m"
_FREE = "."
_RULE = "-" * 103
_HEADER = "  | " + " | ".join(f"{c:2d}" for c in range(BOARD_SIDE)) + " |"


def _agent_cells(state: bytes, agent: int) -> int:
    """Agent `agent`'s cells as one integer, bit p = board position p (row * 21 + column).

    The image holds four 16-byte limbs, the highest positions first, each little-endian."""
    start = 1 + _BLOCK_SIZE * agent
    image = state[start:start + _IMAGE_SIZE]
    value = 0
    for limb in range(4):
        offset = 16 * (3 - limb)
        value |= int.from_bytes(image[offset:offset + 16], "little") << (128 * limb)
    return value


def cell_owners(state: bytes) -> list[list[int]]:
    """20 rows of 20 entries: the agent index covering each board cell, or -1 where it is free.

    `state` is the 278 bytes of `PyTavrin.to_bytes()`. Should two agents hold a cell (only a
    hand-made state can do that), the lower agent index is shown, as `render` does.
    """
    if len(state) != STATE_SIZE or state[0] != STATE_VERSION:
        raise ValueError("Not a game state written by to_bytes() of this version")
    owners = [[-1] * BOARD_SIDE for _ in range(BOARD_SIDE)]
    for agent in reversed(range(4)):  # lower agents overwrite higher ones
        cells = _agent_cells(state, agent)
        while cells:
            low = cells & -cells
            position = low.bit_length() - 1
            cells ^= low
            row, column = divmod(position, _ROW_STRIDE)
            if row < BOARD_SIDE and column < BOARD_SIDE:
                owners[row][column] = agent
    return owners


def picture(state: bytes) -> str:
    """The coloured text picture of the board in `state`, exactly what `PyTavrin.render` prints
    without its final line feed."""
    owners = cell_owners(state)
    lines = [_HEADER, _RULE]
    for row in range(BOARD_SIDE):
        cells = "".join(
            f"|  {_FREE} " if owner < 0 else f"|  {AGENT_COLOURS[owner]}x{_RESET} "
            for owner in owners[row])
        lines.append(f"{row:2d}{cells}|")
        if row < BOARD_SIDE - 1:
            lines.append(_RULE)
    return "\n".join(lines)
