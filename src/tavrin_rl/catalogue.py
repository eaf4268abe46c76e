"""The piece kinds, their 91 orientations and the action grid, as Python tuples.

An action index is a position in the flattened action grid of shape (91, 20, 20):

    index = orientation * 400 + row * 20 + column

where (row, column) is the top-left corner of the orientation's bounding box, read in the frame of
the agent that acts (its own start corner at row 0, column 0). `decode_action` splits an index,
`action_cells` lists the cells a placement covers and `to_board` / `to_frame` move cells between an
agent's frame and the board as `render` draws it. `to_board_action` / `to_agent_action` move a
whole placement: agents act in their own frame, people read and type moves in the board's.

The tables are read once from the engine's own catalogue (`tavrin_rl._engine.catalogue()`), so
they cannot drift from what the game does; everything else here is plain Python without numpy.
"""

from __future__ import annotations

import re
from collections.abc import Iterable

from tavrin_rl._engine import catalogue as _catalogue

_ENGINE = _catalogue()

BOARD_SIDE: int = _ENGINE["board_side"]
NUM_SEATS: int = _ENGINE["num_seats"]  # agents in a game, who move in turn
# Each agent's colour: (name, ANSI background code, (red, green, blue)), by agent index.
COLOURS: tuple[tuple[str, int, tuple[int, int, int]], ...] = _ENGINE["colours"]
# The observation's channel groups, {"occupied": (first, count), ...}, its channel count, the
# board channels "compact" keeps, and the size of the flat view (board planes, pieces, done).
OBSERVATION_LAYOUT: dict[str, object] = _ENGINE["observation_layout"]
NUM_CHANNELS: int = _ENGINE["observation_layout"]["channels"]
BOARD_CHANNELS: int = _ENGINE["observation_layout"]["board_channels"]  # what "compact" keeps
FLAT_SIZE: int = _ENGINE["observation_layout"]["flat_size"]
NUM_ACTIONS: int = _ENGINE["num_actions"]
NUM_ORIENTATIONS: int = len(_ENGINE["orientation_kind"])
GRID_SHAPE = (NUM_ORIENTATIONS, BOARD_SIDE, BOARD_SIDE)

# The 21 kinds in index order: the bit order of a remaining-pieces mask and of `piece_names`.
PIECE_NAMES: tuple[str, ...] = _ENGINE["piece_names"]
NUM_KINDS = len(PIECE_NAMES)

# Per orientation number: its kind index, its cells relative to the bounding box's top-left
# corner (row-major), and the bounding box's height and width.
ORIENTATION_KIND: tuple[int, ...] = _ENGINE["orientation_kind"]
ORIENTATION_CELLS: tuple[tuple[tuple[int, int], ...], ...] = _ENGINE["orientation_cells"]
# An orientation fits at anchor (row, column) when row < ANCHOR_ROWS[o] and column < ANCHOR_COLUMNS[o].
ANCHOR_ROWS: tuple[int, ...] = _ENGINE["anchor_rows"]
ANCHOR_COLUMNS: tuple[int, ...] = _ENGINE["anchor_columns"]
ORIENTATION_SIZE: tuple[tuple[int, int], ...] = tuple(
    (BOARD_SIDE + 1 - rows, BOARD_SIDE + 1 - columns) for rows, columns in zip(ANCHOR_ROWS, ANCHOR_COLUMNS))

# [agent][frame cell row * 20 + column] -> the board cell it shows, and the inverse.
_FRAME_TO_BOARD: tuple[tuple[int, ...], ...] = _ENGINE["frame_to_board"]
_BOARD_TO_FRAME: tuple[tuple[int, ...], ...] = tuple(
    tuple(sorted(range(BOARD_SIDE * BOARD_SIDE), key=table.__getitem__)) for table in _FRAME_TO_BOARD)

# Cells per kind (the kind's weight in the score), and the orientation numbers of each kind.
PIECE_CELLS: tuple[int, ...] = _ENGINE["piece_cells"]
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
    return row < ANCHOR_ROWS[orientation] and column < ANCHOR_COLUMNS[orientation]


def action_cells(index: int) -> tuple[tuple[int, int], ...]:
    """The (row, column) cells an action covers, in the acting agent's frame."""
    if not action_fits(index):
        raise ValueError(f"action index {index} places its piece partly off the board")
    orientation, row, column = decode_action(index)
    return tuple((row + dr, column + dc) for dr, dc in ORIENTATION_CELLS[orientation])


def placed_cells(agent: int, index: int) -> list[tuple[int, int]]:
    """The board cells (as `render` draws them) that agent `agent`'s placement `index`, a grid
    index of its own frame, covers."""
    return [to_board(agent, row, column) for row, column in action_cells(index)]


def _cell(agent: int, row: int, column: int) -> int:
    if agent not in range(NUM_SEATS):
        raise ValueError(f"unknown agent {agent}")
    if not (0 <= row < BOARD_SIDE and 0 <= column < BOARD_SIDE):
        raise ValueError(f"no cell ({row}, {column}) on the board")
    return row * BOARD_SIDE + column


def to_board(agent: int, row: int, column: int) -> tuple[int, int]:
    """The board cell (as `render` draws it) of cell (row, column) of `agent`'s frame.

    Agent 0's frame is the board itself; the other agents see it turned so that their own start
    corner, (0, 19), (19, 19) or (19, 0) on the board, is their (0, 0).
    """
    cell = _cell(agent, row, column)
    return divmod(_FRAME_TO_BOARD[agent][cell], BOARD_SIDE)


def to_frame(agent: int, row: int, column: int) -> tuple[int, int]:
    """The cell of `agent`'s frame that shows board cell (row, column); undoes `to_board`."""
    cell = _cell(agent, row, column)
    return divmod(_BOARD_TO_FRAME[agent][cell], BOARD_SIDE)


def _normalised(cells: Iterable[tuple[int, int]]) -> tuple[int, int, frozenset[tuple[int, int]]]:
    """The top-left corner of the bounding box of `cells` and their shape moved to (0, 0)."""
    cells = list(cells)
    top = min(row for row, _ in cells)
    left = min(column for _, column in cells)
    return top, left, frozenset((row - top, column - left) for row, column in cells)


# Each shape is exactly one orientation: turning a placement into another frame finds its
# orientation there by its cells, with no table of turns restated beside the engine's.
_ORIENTATION_OF_SHAPE = {_normalised(cells)[2]: o for o, cells in enumerate(ORIENTATION_CELLS)}


def _placement(cells: Iterable[tuple[int, int]]) -> int:
    top, left, shape = _normalised(cells)
    return encode_action(_ORIENTATION_OF_SHAPE[shape], top, left)


def to_board_action(agent: int, index: int) -> int:
    """The grid index in the board's frame (as `render` draws it, agent 0's frame) of the
    placement that agent `agent` names `index` in its own frame: the same cells, its piece turned
    with the board. People read and type moves in the board's frame; agents act in their own."""
    return _placement(placed_cells(agent, index))


def to_agent_action(agent: int, index: int) -> int:
    """The grid index in `agent`'s own frame of the placement `index` of the board's frame;
    undoes `to_board_action`. Raises ValueError for a placement that sticks out of the board."""
    return _placement(to_frame(agent, row, column) for row, column in action_cells(index))


# Move notation: "L5:3 at 12,4" is the fourth orientation (variant 3) of L5 with the top-left
# corner of its bounding box at row 12, column 4 of the frame the index is read in: the acting
# agent's for an agent's index, the board's for one made by `to_board_action`.
_NOTATION = re.compile(
    r"\s*(?P<name>[A-Za-z]\d?)\s*(?:[:/#.]\s*|\s+)?(?P<variant>\d+)?\s*(?:(?:at|@)\s*)?"
    r"\(?\s*(?P<row>\d+)\s*[, ]\s*(?P<column>\d+)\s*\)?\s*", re.IGNORECASE)
_KIND_OF_NAME = {name: kind for kind, name in enumerate(PIECE_NAMES)}


def describe_action(index: int) -> str:
    """A short readable name of an action index: piece, its variant (the orientation's position
    among the kind's orientations, from 0) and the anchor cell in the index's frame (the acting
    agent's, or the board's for `to_board_action(agent, index)`), as "L5:3 at 12,4". `parse_action` reads it back. Indexes whose piece would stick out of the
    board are described too."""
    orientation, row, column = decode_action(index)
    kind = ORIENTATION_KIND[orientation]
    variant = orientation - KIND_ORIENTATIONS[kind].start
    return f"{PIECE_NAMES[kind]}:{variant} at {row},{column}"


def parse_action(text: str) -> int:
    """The action index named by `text`, as `describe_action` writes it ("L5:3 at 12,4").

    Also accepted: any letter case, spaces instead of ":" ("l5 3 12 4"), "(12, 4)", no variant
    for the kinds with one orientation ("O at 0,0", "X 5,5"), and a plain grid index ("24804").
    Raises ValueError saying what is wrong.
    """
    stripped = text.strip()
    if stripped.isdigit():
        index = int(stripped)
        decode_action(index)  # the range check and its message
        return index
    match = _NOTATION.fullmatch(text)
    if match is None:
        raise ValueError(f"cannot read {text!r}: write a piece, its variant and a cell, "
                         "as in 'L5:0 at 0,0'")
    name = match["name"].upper()
    kind = _KIND_OF_NAME.get(name)
    variant_text = match["variant"]
    if kind is None and variant_text is None and name[0] in _KIND_OF_NAME:
        name, variant_text = name[0], name[1]  # "F1 0,0": F's variant 1, written without a gap
        kind = _KIND_OF_NAME[name]
    if kind is None:
        raise ValueError(f"no piece {match['name']!r} (pieces: {' '.join(PIECE_NAMES)})")
    orientations = KIND_ORIENTATIONS[kind]
    if variant_text is None:
        if len(orientations) != 1:
            raise ValueError(f"{name} has {len(orientations)} variants: give one, 0 to "
                             f"{len(orientations) - 1}, as in '{name}:0 at 0,0'")
        variant = 0
    else:
        variant = int(variant_text)
    if variant >= len(orientations):
        raise ValueError(f"{name} has variants 0 to {len(orientations) - 1}, not {variant}")
    row, column = int(match["row"]), int(match["column"])
    if row >= BOARD_SIDE or column >= BOARD_SIDE:
        raise ValueError(f"no cell {row},{column}: rows and columns run 0 to {BOARD_SIDE - 1}")
    return encode_action(orientations.start + variant, row, column)


def shape_picture(orientation: int) -> list[str]:
    """The shape of an orientation, one text line per row: "#" a cell, "." a gap."""
    height, width = ORIENTATION_SIZE[orientation]
    cells = set(ORIENTATION_CELLS[orientation])
    return ["".join("#" if (r, c) in cells else "." for c in range(width))
            for r in range(height)]
