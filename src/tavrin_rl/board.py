"""The board read back from a game's state bytes, drawn as `render` draws it, and as SVG.

`PyTavrin.render` writes its picture straight to file descriptor 1; `picture` builds the same text
as a Python string from `to_bytes()`. `svg(game)` draws the board as an SVG picture and
`view(game)` wraps it for notebooks. The compact text board of the command line is
`tavrin_rl.text_board.draw`.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING

from tavrin_rl.catalogue import BOARD_SIDE

if TYPE_CHECKING:
    from tavrin_rl import PyTavrin

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


def piece_masks(state: bytes) -> list[int]:
    """Each agent's remaining-pieces mask in `state` (`to_bytes()`): bit n is set while the kind
    `PIECE_NAMES[n]` is still to be placed."""
    if len(state) != STATE_SIZE or state[0] != STATE_VERSION:
        raise ValueError("Not a game state written by to_bytes() of this version")
    masks = []
    for agent in range(4):
        start = 1 + _BLOCK_SIZE * agent + _IMAGE_SIZE
        masks.append(int.from_bytes(state[start:start + 4], "little"))
    return masks


# Pictures: SVG for notebooks, documents and the replay page.
SVG_COLOURS = ("#2f6fd6", "#f1c21b", "#d8352a", "#2e9e4f")  # blue, yellow, red, green
SVG_FREE = "#f3f2ee"
SVG_CELL = 20  # pixels per cell
SVG_MARGIN = 20  # room for the row and column numbers


def _outline(cells: set[tuple[int, int]]) -> str:
    """An SVG path along the border of a set of cells: the edges no other cell of the set
    shares, so a piece is outlined as one shape."""
    size, left = SVG_CELL, SVG_MARGIN
    parts = []
    for row, column in sorted(cells):
        x, y = left + column * size, left + row * size
        if (row - 1, column) not in cells:
            parts.append(f"M{x} {y}h{size}")
        if (row + 1, column) not in cells:
            parts.append(f"M{x} {y + size}h{size}")
        if (row, column - 1) not in cells:
            parts.append(f"M{x} {y}v{size}")
        if (row, column + 1) not in cells:
            parts.append(f"M{x + size} {y}v{size}")
    return "".join(parts)


def svg_grid(owners: list[list[int]], last: set[tuple[int, int]] = frozenset(),  # type: ignore[assignment]
             cell_ids: bool = False) -> list[str]:
    """The SVG elements of the board: numbers, one square per cell (with id "c{row}-{column}"
    when `cell_ids`, for pages that recolour them), grid lines and the outline of `last`."""
    size, left = SVG_CELL, SVG_MARGIN
    side = BOARD_SIDE * size
    parts = [f'<g font-family="sans-serif" font-size="10" fill="#555" text-anchor="middle">']
    for n in range(BOARD_SIDE):
        middle = left + n * size + size // 2
        parts.append(f'<text x="{middle}" y="{left - 6}">{n}</text>'
                     f'<text x="{left // 2}" y="{middle + 4}">{n}</text>')
    parts.append("</g>")
    for row in range(BOARD_SIDE):
        for column in range(BOARD_SIDE):
            owner = owners[row][column]
            fill = SVG_FREE if owner < 0 else SVG_COLOURS[owner]
            ident = f' id="c{row}-{column}"' if cell_ids else ""
            parts.append(f'<rect{ident} x="{left + column * size}" y="{left + row * size}" '
                         f'width="{size}" height="{size}" fill="{fill}"/>')
    lines = "".join(f"M{left} {left + n * size}h{side}M{left + n * size} {left}v{side}"
                    for n in range(BOARD_SIDE + 1))
    parts.append(f'<path d="{lines}" stroke="#ffffff" stroke-width="1" fill="none"/>')
    parts.append(f'<path id="last" d="{_outline(set(last))}" stroke="#111" stroke-width="3" '
                 'stroke-linecap="square" fill="none"/>')
    return parts


def svg(game: PyTavrin, last: Iterable[tuple[int, int]] = (),
        names: Sequence[str] | None = None) -> str:
    """An SVG picture of `game`: the grid with every agent's cells in its colour (blue, yellow,
    red, green for player_0 to player_3), the cells `last` (board cells of the last placement)
    outlined, and each seat's score and pieces left under the board."""
    state = game.to_bytes()
    owners = cell_owners(state)
    left = [bin(mask).count("1") for mask in piece_masks(state)]
    scores = game.scores
    size = SVG_MARGIN + BOARD_SIDE * SVG_CELL + 10
    height = size + 22 * 4 + 6
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{height}" '
             f'viewBox="0 0 {size} {height}">',
             f'<rect width="{size}" height="{height}" fill="#ffffff"/>']
    parts += svg_grid(owners, set(last))
    for agent in range(4):
        y = size + 22 * agent
        name = f" {_escape(names[agent])}" if names else ""
        parts.append(f'<rect x="{SVG_MARGIN}" y="{y}" width="16" height="16" '
                     f'fill="{SVG_COLOURS[agent]}"/>'
                     f'<text x="{SVG_MARGIN + 24}" y="{y + 13}" font-family="sans-serif" '
                     f'font-size="13">player_{agent}{name}: score {scores[agent]}, '
                     f'{left[agent]} pieces left</text>')
    parts.append("</svg>")
    return "\n".join(parts)


def _escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


class BoardView:
    """A picture of a game at one moment, for notebooks: Jupyter shows `_repr_svg_`, a plain
    console `repr` (the text board). The game is copied, so later moves do not change it."""

    def __init__(self, game: PyTavrin, last: Iterable[tuple[int, int]] = (),
                 names: Sequence[str] | None = None) -> None:
        self.game = game.copy()
        self.last = tuple(last)
        self.names = names

    def _repr_svg_(self) -> str:
        return svg(self.game, self.last, self.names)

    def __repr__(self) -> str:
        from tavrin_rl.text_board import draw
        return draw(self.game, names=self.names, last=self.last)


def view(game: PyTavrin, last: Iterable[tuple[int, int]] = (),
         names: Sequence[str] | None = None) -> BoardView:
    """`BoardView` of `game`: evaluate it as the last line of a notebook cell to see the board."""
    return BoardView(game, last, names)
