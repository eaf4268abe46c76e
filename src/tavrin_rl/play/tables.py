"""The games of the play page: one `Table` per browser tab, where a person plays some seats and
agents the others, and `Tables`, the bounded set of them that the server holds.

The engine decides everything: what is legal (the mover's action mask, turned into board cells
with the catalogue's frame functions), why a placement is not (`tavrin_rl.human.explain`), the
scores and the places. The agents' moves are computed on a thread of the table's own, so that a
request never waits for a search.
"""

from __future__ import annotations

import secrets
import threading
import time
from collections import OrderedDict
from collections.abc import Sequence
from typing import Any

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents import Agent, Stream, legal_grid_indexes, make_agent
from tavrin_rl.board_state import piece_masks
from tavrin_rl.catalogue import (
    BOARD_SIDE, KIND_ORIENTATIONS, NUM_SEATS, ORIENTATION_CELLS, ORIENTATION_KIND, PIECE_NAMES,
    describe_action, encode_action, placed_cells, to_board_action, to_frame,
)
from tavrin_rl.human import explain

HUMAN = "human"
MAX_TABLES = 64  # live games; a new one beyond this drops the one idle the longest

# Each orientation's cells (relative to its bounding box) -> its number. The 91 orientations are
# 91 different shapes, so the board cells of a placement name its orientation.
_SHAPES = {tuple(sorted(cells)): o for o, cells in enumerate(ORIENTATION_CELLS)}


class Refused(Exception):
    """A request the table does not carry out; `status` is its HTTP status."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


Shape = tuple[tuple[int, int], ...]


def _normalised(cells: Sequence[tuple[int, int]]) -> tuple[tuple[int, int], Shape]:
    """(top, left) of `cells` and the cells relative to that corner, sorted."""
    top = min(r for r, _ in cells)
    left = min(c for _, c in cells)
    return (top, left), tuple(sorted((r - top, c - left) for r, c in cells))


def _turned(cells: Sequence[tuple[int, int]]) -> Shape:
    """The shape turned a quarter clockwise, as the page shows it turn."""
    return _normalised([(c, -r) for r, c in cells])[1]


def _mirrored(cells: Sequence[tuple[int, int]]) -> Shape:
    return _normalised([(r, -c) for r, c in cells])[1]


def shapes() -> dict[str, Any]:
    """What the page needs to hold and turn pieces: the kinds' names and orientations, each
    orientation's cells, and the orientation one clockwise turn or one left-right flip leads
    to. These are drawings of the catalogue's shapes, not rules: the server judges every move."""
    return {
        "names": list(PIECE_NAMES),
        "kinds": [[r.start, r.stop] for r in KIND_ORIENTATIONS],
        "cells": [[list(cell) for cell in cells] for cells in ORIENTATION_CELLS],
        "turn": [_SHAPES[_turned(cells)] for cells in ORIENTATION_CELLS],
        "flip": [_SHAPES[_mirrored(cells)] for cells in ORIENTATION_CELLS],
    }


def check_cells(value: object) -> list[tuple[int, int]]:
    """The board cells of a move request, checked: 1 to 5 distinct [row, column] pairs."""
    if not isinstance(value, list) or not 1 <= len(value) <= 5:
        raise Refused(400, "cells must be a list of 1 to 5 [row, column] pairs")
    cells = []
    for cell in value:
        if (not isinstance(cell, list) or len(cell) != 2
                or not all(type(n) is int and 0 <= n < BOARD_SIDE for n in cell)):
            raise Refused(400, f"cells must be [row, column] pairs from 0 to {BOARD_SIDE - 1}")
        cells.append((cell[0], cell[1]))
    if len(set(cells)) != len(cells):
        raise Refused(400, "cells must not repeat")
    return cells


def _agent(seat: int, name: str) -> Agent:
    """The agent of a new game's seat. Its net file was read at start-up, but may have been
    removed or damaged since: that is an answer the page shows, not a dropped connection."""
    try:
        return make_agent(name)
    except Exception as error:
        if isinstance(error, OSError) and error.strerror:
            reason = f"cannot read {error.filename or name}: {error.strerror}"
        else:
            reason = str(error).split("\n")[0] or type(error).__name__
        raise Refused(500, f"cannot start a game: player_{seat} ({name}): {reason}") from None


class Table:
    """One game: `seats[n]` is HUMAN or an agent string. The built-in agents share one stream,
    `Stream.for_game(seed, number)`, as the command line's do."""

    def __init__(self, ident: str, seats: Sequence[str], seed: int, number: int) -> None:
        self.ident = ident
        self.seats = tuple(seats)
        self.seed = seed
        self.number = number
        self.game = PyTavrin()
        stream = Stream.for_game(seed, number)
        self.agents: dict[int, Agent] = {}
        for seat, name in enumerate(self.seats):
            if name != HUMAN:
                self.agents[seat] = _agent(seat, name)
                self.agents[seat].stream = stream
        # (agent, grid index of its frame) per turn taken, None for a pass
        self.turns: list[tuple[int, int | None]] = []
        self.events: list[dict[str, Any]] = []
        self.lock = threading.Lock()
        self.used = time.monotonic()
        self.thinking = False
        self.closed = False
        self.failure: str | None = None
        self._advance()

    # The agents' thread ------------------------------------------------------------------
    def _advance(self) -> None:
        """Start the agents' thread when an agent is to move (with the lock held, or before
        the table is shared)."""
        game = self.game
        if self.thinking or self.closed or self.failure or game.is_over:
            return
        if game.agent_selection not in self.agents and not game.terminations[game.agent_selection]:
            return  # a person is to move

        self.thinking = True
        threading.Thread(target=self._play_agents, name=f"table-{self.ident[:6]}",
                         daemon=True).start()

    def _play_agents(self) -> None:
        agent = -1
        try:
            while True:
                with self.lock:
                    self._pass_turns()
                    game = self.game
                    if self.closed or game.is_over or game.agent_selection not in self.agents:
                        self.thinking = False
                        return
                    agent = game.agent_selection
                    position = game.copy()
                # The search runs on a copy without the lock: requests read the table meanwhile.
                action = self.agents[agent].act(None, game=position)
                with self.lock:
                    if self.closed:
                        self.thinking = False
                        return
                    self._step(agent, action)
        # An agent that fails (a policy file gone bad, a fault of the engine, which is not an
        # Exception) ends the game's play with a message, never a page left waiting.
        except BaseException as error:
            with self.lock:
                self.failure = f"player_{agent} failed: {error}"
                self.thinking = False

    # Moves -------------------------------------------------------------------------------
    def _pass_turns(self) -> None:
        """Pass the seats out of moves (the engine's turn order asks them to), recording each."""
        game = self.game
        while not game.is_over and game.terminations[game.agent_selection]:
            self._step(game.agent_selection, None)

    def _step(self, agent: int, action: int | None) -> None:
        self.game.step(action)
        self.turns.append((agent, action))
        state = self.game.to_bytes()
        self.events.append({
            "agent": agent,
            "cells": [] if action is None else [list(c) for c in placed_cells(agent, action)],
            # in the board's frame, as the replay page and the terminal write moves
            "move": None if action is None else describe_action(to_board_action(agent, action)),
            "scores": self.game.scores,
            "left": [bin(mask).count("1") for mask in piece_masks(state)],
        })

    def move(self, turn: object, cells: list[tuple[int, int]]) -> dict[str, Any]:
        """The person's placement of the board cells `cells`, made when it is a person's turn
        and `turn` is the number of turns the page has seen: the new state, or for an illegal
        placement {"refused": the engine's reason}, the game left as it was."""
        with self.lock:
            self.used = time.monotonic()
            game = self.game
            if game.is_over:
                raise Refused(409, "the game is over")
            agent = game.agent_selection
            if self.thinking or agent in self.agents:
                raise Refused(409, f"not your turn: player_{agent} ({self.seats[agent]}) is to move")
            if type(turn) is not int or turn != len(self.turns):
                raise Refused(409, f"the game has moved on: {len(self.turns)} turns taken, "
                                   "reload its state")
            frame = [to_frame(agent, row, column) for row, column in cells]
            (top, left), shape = _normalised(frame)
            orientation = _SHAPES.get(shape)
            if orientation is None:
                raise Refused(400, "those cells are not the shape of any piece")
            index = encode_action(orientation, top, left)
            observation = game.observe(agent)
            if not observation.action_mask[index]:
                # An answer, not an HTTP error: the page shows it, and browsers log errors.
                # worded as at the terminal, the move in the board's frame
                return {"refused": f"{describe_action(to_board_action(agent, index))} cannot be "
                                   f"played: {explain(observation, index, agent)}"}
            self._step(agent, index)
            self._pass_turns()
            self._advance()
            return self.state_locked(len(self.events) - 1)

    # What the page reads ----------------------------------------------------------------
    def state(self, since: object) -> dict[str, Any]:
        with self.lock:
            self.used = time.monotonic()
            return self.state_locked(since)

    def state_locked(self, since: object) -> dict[str, Any]:
        if type(since) is not int or since < 0:
            raise Refused(400, "since must be a whole number of turns, 0 or more")
        game = self.game
        masks = piece_masks(game.to_bytes())
        over = game.is_over
        mover = None if over else game.agent_selection
        humans = [seat for seat, name in enumerate(self.seats) if name == HUMAN]
        state: dict[str, Any] = {
            "game": self.ident,
            "turns": len(self.turns),
            "first": min(since, len(self.events)),
            "events": self.events[since:],
            "scores": game.scores,
            "left": [bin(mask).count("1") for mask in masks],
            "out": game.terminations,
            "over": over,
            "mover": mover,
            "thinking": self.thinking,
            "failure": self.failure,
            "trays": {str(seat): [k for k in range(len(PIECE_NAMES)) if masks[seat] >> k & 1]
                      for seat in humans},
            "legal": None,
        }
        if mover is not None and mover not in self.agents and not self.thinking:
            state["legal"] = self._legal(mover)
        if over:
            ranks = game.outcome("rank")
            assert ranks is not None
            state["places"] = [1 + sum(other > mine for other in ranks) for mine in ranks]
        return state

    def _legal(self, agent: int) -> dict[str, list[str]]:
        """The mover's legal placements by kind, each as its board cells (row * 20 + column,
        sorted, joined by commas): the page looks up the cells under the pointer."""
        found: dict[str, list[str]] = {}
        for index in legal_grid_indexes(self.game.observe(agent).action_mask):
            cells = sorted(r * BOARD_SIDE + c for r, c in placed_cells(agent, index))
            kind = ORIENTATION_KIND[index // (BOARD_SIDE * BOARD_SIDE)]
            found.setdefault(str(kind), []).append(",".join(map(str, cells)))
        return found

    def saved(self) -> tuple[bytes, list[tuple[int, int]]]:
        """The state bytes and the placements so far, for the downloads."""
        with self.lock:
            self.used = time.monotonic()
            return self.game.to_bytes(), [(a, i) for a, i in self.turns if i is not None]

    def close(self) -> None:
        with self.lock:
            self.closed = True


class Tables:
    """The live games, at most `limit`: a new one beyond that drops the one idle longest."""

    def __init__(self, seats: Sequence[str], seed: int, limit: int = MAX_TABLES) -> None:
        if len(seats) != NUM_SEATS:
            raise ValueError(f"give {NUM_SEATS} seats, got {len(seats)}")
        self.seats = tuple(seats)
        self.seed = seed
        self.limit = limit
        self._tables: OrderedDict[str, Table] = OrderedDict()
        self._count = 0
        self._lock = threading.Lock()

    def new(self) -> Table:
        with self._lock:
            number = self._count
            self._count += 1
        table = Table(secrets.token_hex(8), self.seats, self.seed, number)
        with self._lock:
            while len(self._tables) >= self.limit:
                oldest = min(self._tables.values(), key=lambda t: t.used)
                del self._tables[oldest.ident]
                oldest.close()
            self._tables[table.ident] = table
        return table

    def get(self, ident: object) -> Table:
        if not isinstance(ident, str):
            raise Refused(400, "game must be the text the server gave")
        with self._lock:
            table = self._tables.get(ident)
        if table is None:
            raise Refused(404, "no such game (it may have been dropped: at most "
                               f"{self.limit} are kept); start a new one")
        return table

    def __len__(self) -> int:
        with self._lock:
            return len(self._tables)

    def close(self) -> None:
        with self._lock:
            for table in self._tables.values():
                table.close()
