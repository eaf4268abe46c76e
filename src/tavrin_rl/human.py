"""A person playing one seat at the terminal (`python -m tavrin_rl --agents human,greedy,...`).

Moves are typed in the notation of `tavrin_rl.catalogue.describe_action`, "L5:0 at 0,0", read in
the board's frame: the board as `render()`, the replay page and the move log show it, player_0's
corner at the top left, whichever seat the person plays. (Agents name their actions in their own
frame; `catalogue.to_agent_action` turns the typed move into the seat's.) A move that cannot be
made is explained and asked again; `moves` lists the legal moves by piece, `shapes NAME` draws a piece's variants,
`quit` (or the end of input) stops the game.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TextIO

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl._command import is_terminal
from tavrin_rl.agents import legal_grid_indexes
from tavrin_rl.catalogue import (
    BOARD_SIDE, KIND_ORIENTATIONS, NUM_SEATS, PIECE_NAMES, action_cells, action_fits, action_kind,
    describe_action, parse_action, shape_picture, to_agent_action, to_board, to_board_action,
)
from tavrin_rl.text_board import LETTERS, draw

HELP = """\
Type a move as PIECE:VARIANT at ROW,COLUMN, for example 'L5:0 at 0,0': the variant-th
orientation of the piece (from 0), with the top-left corner of its bounding box on that cell.
Rows and columns are those of the board above; your corner is cell {corner}.
  moves         the legal moves, by piece      moves NAME   every legal move of one piece
  shapes NAME   the variants of a piece        pieces       the pieces you still hold
  board         the board again                quit         stop the game"""

_MOVES_SHOWN = 6  # per piece in the overview of `moves`


class QuitGame(Exception):
    """The person asked to stop (`quit`, or the end of input)."""


class HumanPlayer:
    """Reads one seat's moves from `input` and talks on `output`.

    `choose(game, agent, last)` shows the board and returns the grid index of a legal move;
    it raises `QuitGame` when the person quits.
    """

    name = "human"
    description = "you, typing moves at the terminal"

    def __init__(self, input: TextIO, output: TextIO, names: Sequence[str] = (),
                 colour: bool = False) -> None:
        self.input = input
        self.output = output
        self.names = list(names) or None
        self.colour = colour
        self.echoes = is_terminal(input)
        # Lines are read as bytes and decoded one by one where the stream has a byte layer: a
        # text stream that meets an undecodable byte raises, and loses the lines it had read
        # along with it.
        self._bytes = getattr(input, "buffer", None)
        self._encoding = getattr(input, "encoding", None) or "utf-8"

    def _say(self, text: str) -> None:
        self.output.write(text + "\n")

    def _board(self, game: PyTavrin, agent: int, last: Iterable[tuple[int, int]]) -> None:
        self._say(draw(game, names=self.names, colour=self.colour, last=last))
        row, column = to_board(agent, 0, 0)
        self._say(f"you are player_{agent} ({LETTERS[agent]}), from the corner at {row},{column}")

    def choose(self, game: PyTavrin, agent: int, last: Iterable[tuple[int, int]] = ()) -> int:
        """Ask for player `agent`'s move until a legal one is typed; return its grid index."""
        last = list(last)
        observation = game.observe(agent)
        mask = observation.action_mask
        self._say("")
        self._board(game, agent, last)
        while True:
            self.output.write(f"player_{agent}, your move ('help' for how): ")
            self.output.flush()
            line, readable = self._read_line()
            if not line:  # end of input
                self._say("")
                raise QuitGame
            if not self.echoes:  # a script or a pipe: show what was read, as a terminal would
                self._say(line.rstrip("\r\n"))
            if not readable:
                self._say(f"cannot read that line: it is not {self._encoding} text")
                continue
            words = line.split()
            if not words:
                continue
            command = words[0].lower()
            if command in ("quit", "exit", "q"):
                raise QuitGame
            if command in ("help", "?"):
                self._say(HELP.format(corner="{},{}".format(*to_board(agent, 0, 0))))
            elif command == "board":
                self._board(game, agent, last)
            elif command == "moves":
                self._say(self.moves(mask, words[1] if len(words) > 1 else None, agent))
            elif command == "pieces":
                held = observation.pieces[:len(PIECE_NAMES)]  # seat 0 is the observer
                self._say("you hold: " + " ".join(
                    name for name, bit in zip(PIECE_NAMES, held) if bit))
            elif command == "shapes" and len(words) > 1:
                self._say(self.shapes(words[1]))
            else:
                try:
                    typed = parse_action(line.strip())  # in the board's frame
                except ValueError as error:
                    self._say(str(error))
                    continue
                if not action_fits(typed):
                    self._say(f"{describe_action(typed)} cannot be played: "
                              "the piece would stick out of the board")
                    continue
                index = to_agent_action(agent, typed)
                if mask[index]:
                    return index
                self._say(f"{describe_action(typed)} cannot be played: "
                          f"{explain(observation, index, agent)}")

    def _read_line(self) -> tuple[str, bool]:
        """The next line ('' at the end of input), and whether it decoded; one that did not is
        given with its bytes escaped, so that it can be shown."""
        if self._bytes is None:
            return self.input.readline(), True
        raw: bytes = self._bytes.readline()
        try:
            return raw.decode(self._encoding), True
        except UnicodeDecodeError:
            return raw.decode(self._encoding, "backslashreplace"), False

    @staticmethod
    def moves(mask: bytes, piece: str | None = None, agent: int = 0) -> str:
        """The legal moves of `agent`'s `mask` (in its own frame), grouped by piece and written
        in the board's frame; all of one piece when `piece` is named."""
        by_kind: dict[int, list[int]] = {}
        for index in sorted(to_board_action(agent, i) for i in legal_grid_indexes(mask)):
            by_kind.setdefault(action_kind(index), []).append(index)
        if piece is not None:
            wanted = piece.upper()
            if wanted not in PIECE_NAMES:
                return f"no piece {piece!r} (pieces: {' '.join(PIECE_NAMES)})"
            found = by_kind.get(PIECE_NAMES.index(wanted), [])
            if not found:
                return f"no legal move with {wanted}"
            return f"{len(found)} moves with {wanted}: " + ", ".join(
                describe_action(i) for i in found)
        if not by_kind:
            return "no legal move"
        lines = []
        for kind in sorted(by_kind, reverse=True):  # largest pieces first
            found = by_kind[kind]
            shown = ", ".join(describe_action(i) for i in found[:_MOVES_SHOWN])
            more = f", ... ({len(found)} in all: 'moves {PIECE_NAMES[kind]}')" \
                if len(found) > _MOVES_SHOWN else ""
            lines.append(f"{PIECE_NAMES[kind]:>3}: {shown}{more}")
        return "\n".join(lines)

    @staticmethod
    def shapes(piece: str) -> str:
        """The variants of a piece drawn side by side, numbered as the notation numbers them."""
        name = piece.upper()
        if name not in PIECE_NAMES:
            return f"no piece {piece!r} (pieces: {' '.join(PIECE_NAMES)})"
        pictures = [shape_picture(o) for o in KIND_ORIENTATIONS[PIECE_NAMES.index(name)]]
        width = max(len(p[0]) for p in pictures) + 3
        height = max(len(p) for p in pictures)
        lines = ["".join(f"{name}:{v}".ljust(width) for v in range(len(pictures)))]
        for row in range(height):
            lines.append("".join((p[row] if row < len(p) else "").ljust(width)
                                 for p in pictures).rstrip())
        return "\n".join(lines)


def explain(observation: object, index: int, agent: int = 0) -> str:
    """Why the observer cannot make the placement `index`, read from its observation planes:
    seat 0 is the observer, and `index` and every plane are in its frame. `agent` is the
    observer's seat: the cells the reason names are written in the board's frame, where people
    read them (the default 0 is the seat whose frame is the board's)."""
    if not action_fits(index):
        return "the piece would stick out of the board"
    kind = action_kind(index)
    pieces: bytes = observation.pieces  # type: ignore[attr-defined]
    if not pieces[kind]:
        return f"you have already placed your {PIECE_NAMES[kind]}"
    if not any(observation.action_mask):  # type: ignore[attr-defined]
        return "you have no legal move left"
    cells = action_cells(index)
    planes: bytes = observation.observation  # type: ignore[attr-defined]
    blocked: bytes = observation.blocked  # type: ignore[attr-defined]
    corners: bytes = observation.corners  # type: ignore[attr-defined]
    area = BOARD_SIDE * BOARD_SIDE

    def cell(row: int, column: int) -> str:
        return "cell {},{}".format(*to_board(agent, row, column))
    for row, column in cells:
        at = row * BOARD_SIDE + column
        if any(planes[seat * area + at] for seat in range(NUM_SEATS)):
            return f"{cell(row, column)} is taken"
    for row, column in cells:
        if blocked[row * BOARD_SIDE + column]:
            return f"{cell(row, column)} touches one of your pieces along an edge"
    if not any(corners[row * BOARD_SIDE + column] for row, column in cells):
        if all(pieces[:len(PIECE_NAMES)]):
            return f"your first piece must cover your corner, {cell(0, 0)}"
        return "it must touch one of your pieces at a corner"
    return "the rules forbid it"  # not reached while the planes describe the rules
