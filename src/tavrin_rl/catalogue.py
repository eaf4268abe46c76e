"""The piece kinds, their 91 orientations and the action grid, in plain Python.

An action index is a position in the flattened action grid of shape (91, 20, 20):

    index = orientation * 400 + row * 20 + column

where (row, column) is the top-left corner of the orientation's bounding box, read in the frame of
the agent that acts (its own start corner at row 0, column 0). `decode_action` splits an index,
`action_cells` lists the cells a placement covers and `to_board` / `to_frame` move cells between an
agent's frame and the board as `render` draws it.

Nothing here needs the compiled module, so agents and tools can use it without a game.
"""

from __future__ import annotations

BOARD_SIDE = 20
NUM_ORIENTATIONS = 91
NUM_ACTIONS = NUM_ORIENTATIONS * BOARD_SIDE * BOARD_SIDE
GRID_SHAPE = (NUM_ORIENTATIONS, BOARD_SIDE, BOARD_SIDE)

# The 21 kinds in index order: the bit order of a remaining-pieces mask and of `piece_names`.
PIECE_NAMES = (
    "I1", "I2", "V3", "I3", "T4", "O", "L4", "I4", "Z4", "F", "X",
    "P", "W", "Z5", "Y", "L5", "U", "T5", "V5", "N", "I5",
)

# Every orientation of every kind, in orientation-number order; rows top first, "#" is a cell.
_SHAPES: tuple[tuple[str, tuple[str, ...]], ...] = (
    ("I1", ("#",)),
    ("I2", ("##", "#/#")),
    ("V3", ("##/#.", "#./##", ".#/##", "##/.#")),
    ("I3", ("###", "#/#/#")),
    ("T4", (".#./###", "#./##/#.", "###/.#.", ".#/##/.#")),
    ("O", ("##/##",)),
    ("L4", ("#../###", "###/#..", "#./#./##", "##/#./#.", "##/.#/.#", "###/..#", "..#/###",
            ".#/.#/##")),
    ("I4", ("####", "#/#/#/#")),
    ("Z4", ("#./##/.#", ".#/##/#.", ".##/##.", "##./.##")),
    ("F", (".#./###/#..", "#../###/.#.", "##./.##/.#.", ".##/##./.#.", "..#/###/.#.",
           ".#./##./.##", ".#./###/..#", ".#./.##/##.")),
    ("X", (".#./###/.#.",)),
    ("P", ("##/##/#.", "##/##/.#", "#./##/##", ".#/##/##", "###/.##", ".##/###", "###/##.",
           "##./###")),
    ("W", ("#../##./.##", ".##/##./#..", "..#/.##/##.", "##./.##/..#")),
    ("Z5", ("#../###/..#", "..#/###/#..", ".##/.#./##.", "##./.#./.##")),
    ("Y", ("####/.#..", ".#../####", "####/..#.", "..#./####", "#./#./##/#.", ".#/.#/##/.#",
           "#./##/#./#.", ".#/##/.#/.#")),
    ("L5", ("####/#...", "#.../####", "####/...#", "...#/####", "#./#./#./##", ".#/.#/.#/##",
            "##/#./#./#.", "##/.#/.#/.#")),
    ("U", ("#.#/###", "###/#.#", "##/#./##", "##/.#/##")),
    ("T5", (".#./.#./###", "#../###/#..", "###/.#./.#.", "..#/###/..#")),
    ("V5", ("###/#../#..", "#../#../###", "..#/..#/###", "###/..#/..#")),
    ("N", (".###/##..", "##../.###", "###./..##", "..##/###.", "#./#./##/.#", ".#/.#/##/#.",
           ".#/##/#./#.", "#./##/.#/.#")),
    ("I5", ("#####", "#/#/#/#/#")),
)


def _cells_of(picture: str) -> tuple[tuple[int, int], ...]:
    return tuple((r, c) for r, row in enumerate(picture.split("/"))
                 for c, mark in enumerate(row) if mark == "#")


# Per orientation number: its kind index, its cells relative to the bounding box's top-left
# corner, and the bounding box's height and width.
ORIENTATION_KIND: tuple[int, ...] = tuple(
    kind for kind, (_, pictures) in enumerate(_SHAPES) for _ in pictures)
ORIENTATION_CELLS: tuple[tuple[tuple[int, int], ...], ...] = tuple(
    _cells_of(picture) for _, pictures in _SHAPES for picture in pictures)
ORIENTATION_SIZE: tuple[tuple[int, int], ...] = tuple(
    (picture.count("/") + 1, len(picture.split("/")[0]))
    for _, pictures in _SHAPES for picture in pictures)

# Cells per kind (the kind's weight in the score), and the orientation numbers of each kind.
PIECE_CELLS: tuple[int, ...] = tuple(len(_cells_of(pictures[0])) for _, pictures in _SHAPES)
KIND_ORIENTATIONS: tuple[range, ...] = tuple(
    range(ORIENTATION_KIND.index(k), len(ORIENTATION_KIND) - ORIENTATION_KIND[::-1].index(k))
    for k in range(len(PIECE_NAMES)))


def decode_action(index: int) -> tuple[int, int, int]:
    """(orientation, row, column) of an action index; row and column are the top-left corner of
    the orientation's bounding box in the acting agent's frame."""
    if not 0 <= index < NUM_ACTIONS:
        raise ValueError(f"action index {index} outside [0, {NUM_ACTIONS - 1}]")
    orientation, anchor = divmod(index, BOARD_SIDE * BOARD_SIDE)
    row, column = divmod(anchor, BOARD_SIDE)
    return orientation, row, column


def encode_action(orientation: int, row: int, column: int) -> int:
    """The action index of an orientation placed with its bounding box's top-left at (row, column)."""
    if not (0 <= orientation < NUM_ORIENTATIONS and 0 <= row < BOARD_SIDE
            and 0 <= column < BOARD_SIDE):
        raise ValueError(f"no grid position ({orientation}, {row}, {column})")
    return (orientation * BOARD_SIDE + row) * BOARD_SIDE + column


def action_kind(index: int) -> int:
    """The kind index (into `PIECE_NAMES`) of the piece an action places."""
    return ORIENTATION_KIND[decode_action(index)[0]]


def action_fits(index: int) -> bool:
    """Whether the grid position holds a placement at all: the orientation must stay on the
    board. 30433 of the 36400 positions do."""
    orientation, row, column = decode_action(index)
    height, width = ORIENTATION_SIZE[orientation]
    return row + height <= BOARD_SIDE and column + width <= BOARD_SIDE


def action_cells(index: int) -> tuple[tuple[int, int], ...]:
    """The (row, column) cells an action covers, in the acting agent's frame."""
    if not action_fits(index):
        raise ValueError(f"action index {index} places its piece partly off the board")
    orientation, row, column = decode_action(index)
    return tuple((row + dr, column + dc) for dr, dc in ORIENTATION_CELLS[orientation])


def to_board(agent: int, row: int, column: int) -> tuple[int, int]:
    """The board cell (as `render` draws it) of cell (row, column) of `agent`'s frame.

    Agent 0's frame is the board itself; the other agents see it turned so that their own start
    corner, (0, 19), (19, 19) or (19, 0) on the board, is their (0, 0).
    """
    last = BOARD_SIDE - 1
    if agent == 0:
        return row, column
    if agent == 1:
        return column, last - row
    if agent == 2:
        return last - row, last - column
    if agent == 3:
        return last - column, row
    raise ValueError(f"unknown agent {agent}")


def to_frame(agent: int, row: int, column: int) -> tuple[int, int]:
    """The cell of `agent`'s frame that shows board cell (row, column); undoes `to_board`."""
    if agent not in range(4):
        raise ValueError(f"unknown agent {agent}")
    return to_board(-agent % 4, row, column)
