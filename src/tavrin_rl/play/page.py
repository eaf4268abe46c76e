"""The play page: one HTML text with its style, the board's drawing (`board.js`, shared with
the replay page), the page's script and its data inline, so that the server answers nothing
else and the page loads nothing."""

from __future__ import annotations

import html
import json
import re
from collections.abc import Sequence
from functools import cache
from importlib import resources

from tavrin_rl.board import SVG_CELL, SVG_COLOURS, SVG_FREE, SVG_MARGIN, svg_grid
from tavrin_rl.catalogue import BOARD_SIDE, NUM_SEATS, to_board
from tavrin_rl.play.tables import shapes
from tavrin_rl.replay import drawing_script
from tavrin_rl.text_board import LETTERS


def _text(name: str) -> str:
    return (resources.files("tavrin_rl.play") / name).read_text(encoding="utf-8")


@cache
def _parts() -> dict[str, str]:
    """The page's template, style and script, the shared drawing and the empty board: read
    once, since every tab asks for the page."""
    empty = [[-1] * BOARD_SIDE for _ in range(BOARD_SIDE)]
    size = SVG_MARGIN + BOARD_SIDE * SVG_CELL + 10
    board = (f'<svg id="board" xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {size} {size}" '
             'tabindex="0" aria-label="the board: arrows move the held piece, Enter places it">'
             + "".join(svg_grid(empty, cell_ids=True)) + _marks() + '<g id="ghost"></g></svg>')
    return {"page": _text("page.html"), "style": _text("play.css"), "script": _text("play.js"),
            "drawing": drawing_script(), "board": board, "title": "tavrin_rl: play"}


def _marks() -> str:
    """A ring on each seat's start corner in its colour, shown until a piece covers it, and a
    frame round the board that the page paints in the mover's colour. The ring leaves the
    cell's middle free, where the colour of what covers it shows."""
    rings = "".join(
        f'<circle id="start{seat}" cx="{SVG_MARGIN + (column + 0.5) * SVG_CELL}" '
        f'cy="{SVG_MARGIN + (row + 0.5) * SVG_CELL}" r="{SVG_CELL * 0.32}" fill="none" '
        f'stroke="{SVG_COLOURS[seat]}" stroke-width="3"/>'
        for seat, (row, column) in enumerate(to_board(seat, 0, 0) for seat in range(NUM_SEATS)))
    side = BOARD_SIDE * SVG_CELL
    return (f'<g id="starts">{rings}</g><rect id="frame" x="{SVG_MARGIN - 3}" y="{SVG_MARGIN - 3}" '
            f'width="{side + 6}" height="{side + 6}" fill="none" stroke="none" stroke-width="4"/>')


def page_html(token: str, seats: Sequence[str], pause: float) -> str:
    """The page for a server with `token` whose seats are `seats` (HUMAN or agent strings)."""
    parts = dict(_parts())
    data = {"token": token, "seats": list(seats), "pause": pause, "colours": list(SVG_COLOURS),
            "free": SVG_FREE, "letters": LETTERS, "cell": SVG_CELL, "margin": SVG_MARGIN,
            "side": BOARD_SIDE, "shapes": shapes(),
            "corners": [to_board(seat, 0, 0) for seat in range(NUM_SEATS)]}
    # "</" inside a script would end it early; JSON allows the escaped solidus.
    parts["data"] = json.dumps(data, separators=(",", ":")).replace("</", "<\\/")
    parts["title"] = html.escape(parts["title"])
    # One pass, so that text put in (an agent's path, say) is never read as a placeholder.
    return re.sub(r"\{\{(\w+)\}\}", lambda match: parts[match[1]], parts.pop("page"))
