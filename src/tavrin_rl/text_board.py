"""A compact text board for terminals and logs, shared by the command line, `--watch`, human
play and the PettingZoo environment's "ansi" render mode.

    >>> from tavrin_rl import PyTavrin
    >>> from tavrin_rl.text_board import draw
    >>> print(draw(PyTavrin()))  # doctest: +SKIP

Each cell is two columns wide: one letter per agent, the initial of its colour (B, Y, R, G for
player_0 to player_3), and "." for a free cell, so the board stays readable without colour, in
logs and for colour-blind readers. Rows and columns are numbered 0 to 19 (the two-digit column
numbers are written as a tens line above a units line). Under the board a legend gives each
seat's agent, pieces left and score, and whose turn it is. The whole picture is at most 44
columns wide.

Colour (ANSI backgrounds, as `PyTavrin.render` uses) is added only on request; `use_colour(stream)`
says whether a stream should get it: a terminal, with the NO_COLOR environment variable unset or
empty. The cells of the last placement, when given, are drawn in lower case (and bold, underlined
and brighter in colour).

`PyTavrin.render` keeps its own, wider picture; `tavrin_rl.board.picture` reproduces that one.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import Protocol, TextIO

from tavrin_rl._command import is_terminal
from tavrin_rl.board_state import cell_owners, piece_masks
from tavrin_rl.catalogue import BOARD_SIDE, COLOURS, NUM_SEATS, to_board

# The initials of the engine's colour names (blue, yellow, red, green), by agent index.
LETTERS = "".join(name[0].upper() for name, _, _ in COLOURS)
FREE = "."
WIDTH = 44  # no line of `draw` is wider

# The backgrounds are the engine's; the foregrounds are chosen here for contrast: white on blue,
# red and green, black on yellow.
_COLOURS = tuple(f"\x1b[{fore};{back}m" for fore, (_, back, _) in zip((97, 30, 97, 97), COLOURS))
# The last placement: bold, underlined, on the bright variant (+60) of the agent's background,
# where green is light enough to want black.
_LAST_COLOURS = tuple(f"\x1b[1;4;{fore};{back + 60}m"
                      for fore, (_, back, _) in zip((97, 30, 97, 30), COLOURS))
_RESET = "\x1b[0m"


class Game(Protocol):
    """What `draw` reads of a game: `PyTavrin` or anything that answers the same (each member
    means what it means for `PyTavrin`)."""

    def to_bytes(self) -> bytes: ...
    @property
    def scores(self) -> list[int]: ...
    @property
    def terminations(self) -> list[bool]: ...
    @property
    def agent_selection(self) -> int: ...
    @property
    def is_over(self) -> bool: ...
    @property
    def ply(self) -> int: ...


def use_colour(stream: TextIO | None) -> bool:
    """Whether to colour text for `stream`: it is a terminal and NO_COLOR is unset or empty
    (https://no-color.org)."""
    return stream is not None and not os.environ.get("NO_COLOR", "") and is_terminal(stream)


def _header() -> list[str]:
    tens = "".join(f" {column // 10}" if column >= 10 else "  " for column in range(BOARD_SIDE))
    units = "".join(f" {column % 10}" for column in range(BOARD_SIDE))
    return ["  " + tens.rstrip(), "  " + units]


def draw(game: Game, *, names: Sequence[str] | None = None, colour: bool = False,
         last: Iterable[tuple[int, int]] = (), frame: int = 0) -> str:
    """The board of `game` with its legend, as lines joined by "\\n" (no final line feed).

    `names`: the agents' names by agent index, shown in the legend (omitted when None).
    `colour`: add ANSI colours (see `use_colour`).
    `last`: board cells (row, column) of the last placement, drawn highlighted.
    `frame`: draw the board turned into that agent's frame (its start corner at the top left),
    the frame in which it names its actions; 0 is the board as `render` draws it.
    """
    if frame not in range(NUM_SEATS):
        raise ValueError(f"unknown agent {frame}")
    state = game.to_bytes()
    owners = cell_owners(state)
    highlighted = set(last)
    lines = _header()
    for row in range(BOARD_SIDE):
        cells = []
        for column in range(BOARD_SIDE):
            board_row, board_column = to_board(frame, row, column)
            owner = owners[board_row][board_column]
            if owner < 0:
                cells.append(f" {FREE}")
                continue
            is_last = (board_row, board_column) in highlighted
            letter = LETTERS[owner].lower() if is_last else LETTERS[owner]
            if colour:
                paint = (_LAST_COLOURS if is_last else _COLOURS)[owner]
                cells.append(f"{paint} {letter}{_RESET}")
            else:
                cells.append(f" {letter}")
        lines.append(f"{row:2d}" + "".join(cells))
    lines.extend(legend(game, state, names))
    if frame:
        lines[-1] += f", player_{frame}'s view"
    return "\n".join(lines)


def legend(game: Game, state: bytes | None = None,
           names: Sequence[str] | None = None) -> list[str]:
    """The lines under the board: per seat its letter, agent, pieces left and score, whether it
    is done or to move; then the ply and whose turn it is."""
    state = game.to_bytes() if state is None else state
    left = [bin(mask).count("1") for mask in piece_masks(state)]
    scores = game.scores
    done = game.terminations
    over = game.is_over
    to_move = game.agent_selection
    name_width = max((len(name) for name in names), default=0) if names else 0
    lines = [" " * 2 + f"{'seat':<9}" + (f"{'agent':<{name_width + 1}}" if names else "")
             + "left score"]
    for agent in range(NUM_SEATS):
        name = f"{names[agent]:<{name_width + 1}}" if names else ""
        state_note = "  done" if done[agent] else ("  to move" if agent == to_move and not over
                                                   else "")
        lines.append(f"{LETTERS[agent]} player_{agent} {name}{left[agent]:>4} "
                     f"{scores[agent]:>5}{state_note}")
    status = "game over" if over else f"player_{to_move} to move"
    lines.append(f"ply {game.ply}, {status}")
    return lines
