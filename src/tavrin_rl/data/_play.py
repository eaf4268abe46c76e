"""Playing one chunk of games in the batched engine: the rows a shard holds, as numpy arrays.

A game is named by its global number. Game g of a run seeded with S draws every random choice
from its own stream, `Stream.for_game(S, g)`, one draw per placement, in ply order: the recipe of
`VectorGames.reset(S, first_game=...)` and of the command line without --out. So a game's moves
depend only on the run's seed, the agents and its number: never on which worker, process, chunk
or batch played it, nor on whether it was written.

The games of a chunk advance together in one `VectorGames`; every pick is the engine's own rule
for the agent to move (`VectorGames.sample_actions` with one policy per game).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence

import numpy as np

from tavrin_rl import PyTavrin, _engine
from tavrin_rl.agents import POLICIES
from tavrin_rl.vector import VectorGames

NUM_SEATS = 4
STATE_BYTES = 278
REWARD_MODES: tuple[str, ...] = tuple(PyTavrin.reward_modes)
AGENT_RULES = POLICIES


def game_seed(seed: int, game: int) -> int:
    """The 64-bit seed of game number `game` in a run seeded with `seed`: the initial state of
    its stream."""
    return int(_engine.stream_for_game(seed, game))


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
    seat_rules = np.array([AGENT_RULES.index(name) for name in agents], dtype=np.uint8)
    seeds = np.array([game_seed(seed, first_game + i) for i in range(count)], dtype=np.uint64)
    # One thread: a worker process is the unit of parallelism.
    games = VectorGames(count, threads=1, seed=seed, observation=None, mask=False, autoreset=False,
                        first_game=first_game)
    plies = np.zeros(count, np.int64)
    scores = np.zeros((count, NUM_SEATS), np.int16)
    outcomes = {mode: np.zeros((count, NUM_SEATS), np.float32) for mode in REWARD_MODES}
    parts: list[tuple[np.ndarray, ...]] = []
    while True:
        movers = games.current_player.astype(np.int64)  # a copy: step rewrites the view
        active = np.flatnonzero(movers >= 0)
        if active.size == 0:
            break
        states = games.to_bytes()[active]
        # A finished game's policy is never used (it samples 0, and step ignores it).
        picks = games.sample_actions(seat_rules[np.maximum(movers, 0)])
        games.step(picks)
        parts.append((active, plies[active].copy(), movers[active], picks[active], states))
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
