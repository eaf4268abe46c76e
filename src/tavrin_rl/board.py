"""The board read back from a game's state bytes, drawn as `render` draws it, and as SVG.

`PyTavrin.render` writes its picture straight to file descriptor 1; `picture` builds the same text
as a Python string from `to_bytes()`. `svg(game)` draws the board as an SVG picture and
`view(game)` wraps it for notebooks. The compact text board of the command line is
`tavrin_rl.text_board.draw`.

The engine reads the state bytes (`tavrin_rl._engine.decode_states`), so their layout is written
once; `decode_states` reads many states at once into numpy arrays.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING
from xml.sax.saxutils import escape

from tavrin_rl._engine import STATE_SIZE, STATE_VERSION  # noqa: F401 (names of this module)
from tavrin_rl.board_state import (  # noqa: F401 (names of this module since its start)
    AGENT_COLOURS, COLOUR_NAMES, _decoded, cell_owners, decode_states, picture, piece_masks,
)
from tavrin_rl.catalogue import BOARD_SIDE, COLOURS, NUM_SEATS
from tavrin_rl.text_board import draw

if TYPE_CHECKING:
    from tavrin_rl._tavrin import PyTavrin

# Pictures: SVG for notebooks, documents and the replay page.
SVG_COLOURS = tuple("#%02x%02x%02x" % rgb for _, _, rgb in COLOURS)
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
    height = size + 22 * NUM_SEATS + 6
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{height}" '
             f'viewBox="0 0 {size} {height}">',
             f'<rect width="{size}" height="{height}" fill="#ffffff"/>']
    parts += svg_grid(owners, set(last))
    for agent in range(NUM_SEATS):
        y = size + 22 * agent
        name = f" {escape(names[agent])}" if names else ""
        parts.append(f'<rect x="{SVG_MARGIN}" y="{y}" width="16" height="16" '
                     f'fill="{SVG_COLOURS[agent]}"/>'
                     f'<text x="{SVG_MARGIN + 24}" y="{y + 13}" font-family="sans-serif" '
                     f'font-size="13">player_{agent}{name}: score {scores[agent]}, '
                     f'{left[agent]} pieces left</text>')
    parts.append("</svg>")
    return "\n".join(parts)


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
        return draw(self.game, names=self.names, last=self.last)


def view(game: PyTavrin, last: Iterable[tuple[int, int]] = (),
         names: Sequence[str] | None = None) -> BoardView:
    """`BoardView` of `game`: evaluate it as the last line of a notebook cell to see the board."""
    return BoardView(game, last, names)
