"""Playing one chunk of games in the batched engine: the rows a shard holds, as numpy arrays.

A game is named by its global number; `game_seed(seed, number)` gives its own seed, and every
random choice in the game is drawn from a hash of that seed and the ply. So a game's moves depend
only on the run's seed, the agents and its number: never on which worker, process, chunk or batch
played it.

The games of a chunk advance together in one `VectorGames` (legal moves, steps and state bytes in
C++); the built-in agents' rules are applied to all of them at once with numpy, on the engine's
lists of legal moves:

- random: a uniformly random legal placement;
- greedy: the largest piece size that fits, then uniformly among its placements;
- reach: among those, the placements reaching farthest from the agent's own corner (row + column
  of the farthest cell, in its frame), then uniformly.

These are the rules of `tavrin_rl.agents`; the random streams are the dataset's own, so that a
game never depends on what else its batch holds (the engine's own samplers draw from one stream
per batch slot, and `reach` exists only here and in Python).
"""

from __future__ import annotations

import hashlib
from dataclasses import dataclass
from typing import Sequence

import numpy as np

from tavrin_rl import PyTavrin
from tavrin_rl.catalogue import BOARD_SIDE, ORIENTATION_CELLS, ORIENTATION_KIND, PIECE_CELLS
from tavrin_rl.vector import VectorGames

NUM_SEATS = 4
STATE_BYTES = 278
REWARD_MODES: tuple[str, ...] = tuple(PyTavrin.reward_modes)
AGENT_RULES = ("random", "greedy", "reach")

_ANCHORS = BOARD_SIDE * BOARD_SIDE
# Per grid index: the size of the piece it places, and how far its farthest cell reaches.
_SIZE = np.repeat(np.array([PIECE_CELLS[kind] for kind in ORIENTATION_KIND], np.int64), _ANCHORS)
_ROW, _COLUMN = np.divmod(np.tile(np.arange(_ANCHORS), len(ORIENTATION_KIND)), BOARD_SIDE)
_REACH = (_ROW + _COLUMN + np.repeat(
    np.array([max(r + c for r, c in cells) for cells in ORIENTATION_CELLS]), _ANCHORS))
# Kinds are numbered by size, so one size's placements are one run of grid indexes: the first
# grid index of each size (indexed by size).
_SIZE_START = np.zeros(max(PIECE_CELLS) + 1, np.int64)
for _size in sorted(set(PIECE_CELLS), reverse=True):
    _SIZE_START[_size] = int(np.argmax(_SIZE == _size))


def game_seed(seed: int, game: int) -> int:
    """The 64-bit seed of game number `game` in a run seeded with `seed`."""
    digest = hashlib.blake2b(f"tavrin_rl game {seed}:{game}".encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little")


def _mix(x: np.ndarray) -> np.ndarray:
    """splitmix64's finaliser on uint64 arrays: a well-spread hash of each value."""
    with np.errstate(over="ignore"):
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        mixed: np.ndarray = x ^ (x >> np.uint64(31))
        return mixed


def draws(seeds: np.ndarray, plies: np.ndarray) -> np.ndarray:
    """One 64-bit random value per game for the given ply, from the game's seed alone."""
    with np.errstate(over="ignore"):
        return _mix(seeds ^ _mix(plies.astype(np.uint64) + np.uint64(0x9E3779B97F4A7C15)))


def choose(offsets: np.ndarray, legal: np.ndarray, rules: np.ndarray,
           random: np.ndarray) -> np.ndarray:
    """One placement per game: game i's legal grid indexes are legal[offsets[i]:offsets[i+1]]
    (ascending, never empty), rules[i] indexes AGENT_RULES and random[i] is its draw."""
    starts, ends = offsets[:-1], offsets[1:]
    counts = ends - starts
    games = len(counts)
    owner = np.repeat(np.arange(games), counts)  # the game of each entry of `legal`
    pick = starts + (random % counts.astype(np.uint64)).astype(np.int64)
    if not (rules > 0).any():
        chosen: np.ndarray = legal[pick]
        return chosen
    # greedy: the run of the largest size at the end of each game's ascending list
    boundary = _SIZE_START[_SIZE[legal[ends - 1]]]
    keys = owner * (_SIZE.size + 1) + legal
    top = np.searchsorted(keys, np.arange(games) * (_SIZE.size + 1) + boundary)
    greedy = top + (random % (ends - top).astype(np.uint64)).astype(np.int64)
    pick = np.where(rules == 1, greedy, pick)
    if (rules == 2).any():
        reach = np.where(np.arange(legal.size) >= top[owner], _REACH[legal], -1)
        best = np.maximum.reduceat(reach, starts)
        ties = reach == best[owner]
        ranks = np.cumsum(ties)
        before = np.concatenate(([0], ranks))[starts]  # ties in earlier games
        tie_counts = ranks[ends - 1] - before
        wanted = before + 1 + (random % tie_counts.astype(np.uint64)).astype(np.int64)
        # the entry holding the wanted tie: the first whose running count reaches it
        tie = np.searchsorted(ranks, wanted)
        pick = np.where(rules == 2, tie, pick)
    chosen = legal[pick]
    return chosen


@dataclass
class Chunk:
    """The games [first_game, first_game + count) and every placement in them, in game order
    and, within a game, in ply order."""

    first_game: int
    agents: tuple[str, ...]
    # one entry per placement
    game: np.ndarray      # int64
    ply: np.ndarray       # int16, 0 for a game's first placement
    agent: np.ndarray     # int8, the agent that moves
    action: np.ndarray    # uint16, the grid index in that agent's frame
    state: np.ndarray     # (plies, 278) uint8, the state bytes before the placement
    # one entry per game
    seeds: np.ndarray     # uint64
    scores: np.ndarray    # (games, 4) int16
    outcomes: dict[str, np.ndarray]  # reward mode -> (games, 4) float32
    plies: np.ndarray     # int16, placements in the game

    @property
    def count(self) -> int:
        return len(self.seeds)


def play_chunk(first_game: int, count: int, agents: Sequence[str], seed: int) -> Chunk:
    """Plays games first_game .. first_game + count - 1 of a run between `agents` (one name per
    seat, from AGENT_RULES) seeded with `seed`."""
    agents = tuple(agents)
    for name in agents:
        if name not in AGENT_RULES:
            raise ValueError(f"unknown agent {name!r} (choose from {', '.join(AGENT_RULES)})")
    seat_rules = np.array([AGENT_RULES.index(name) for name in agents])
    seeds = np.array([game_seed(seed, first_game + i) for i in range(count)], dtype=np.uint64)
    # One thread: a worker process is the unit of parallelism. The engine's own sampling seed
    # is never used.
    games = VectorGames(count, threads=1, seed=0, observation=None, mask=False, autoreset=False)
    plies = np.zeros(count, np.int64)
    scores = np.zeros((count, NUM_SEATS), np.int16)
    outcomes = {mode: np.zeros((count, NUM_SEATS), np.float32) for mode in REWARD_MODES}
    parts: list[tuple[np.ndarray, ...]] = []
    actions = np.zeros(count, np.int32)
    while True:
        movers = games.current_player.astype(np.int64)  # a copy: step rewrites the view
        active = np.flatnonzero(movers >= 0)
        if active.size == 0:
            break
        states = games.to_bytes()[active]
        offsets, legal = games.legal_actions()  # finished games list nothing
        offsets = offsets[np.append(active, active[-1] + 1)] if active.size < count else offsets
        picks = choose(offsets, legal, seat_rules[movers[active]],
                       draws(seeds[active], plies[active]))
        actions[:] = 0
        actions[active] = picks
        games.step(actions)
        parts.append((active, plies[active].copy(), movers[active], picks, states))
        plies[active] += 1
        for i in active[games.terminated[active]]:
            final = games.final_game(int(i))
            assert final is not None  # it ended on this step
            scores[i] = final.scores
            for mode in REWARD_MODES:
                outcomes[mode][i] = final.outcome(mode)
    index = np.concatenate([part[0] for part in parts])
    ply = np.concatenate([part[1] for part in parts])
    order = np.lexsort((ply, index))  # game by game, each in ply order
    return Chunk(
        first_game=first_game, agents=agents,
        game=(index[order] + first_game).astype(np.int64), ply=ply[order].astype(np.int16),
        agent=np.concatenate([part[2] for part in parts])[order].astype(np.int8),
        action=np.concatenate([part[3] for part in parts])[order].astype(np.uint16),
        state=np.concatenate([part[4] for part in parts])[order],
        seeds=seeds, scores=scores, outcomes=outcomes, plies=plies.astype(np.int16))
