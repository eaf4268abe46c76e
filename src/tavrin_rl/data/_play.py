"""Playing one chunk of games: the rows a shard holds, as numpy arrays.

A game is named by its global number; `game_seed(seed, number)` gives its own seed, so a game's
moves depend only on the run's seed, the agents and its number, never on which worker, process or
chunk played it.
"""

from __future__ import annotations

import hashlib
from dataclasses import dataclass
from typing import Sequence

import numpy as np

from tavrin_rl import PyTavrin
from tavrin_rl.agents import make_agent

NUM_SEATS = 4
STATE_BYTES = 278
REWARD_MODES: tuple[str, ...] = tuple(PyTavrin.reward_modes)


def game_seed(seed: int, game: int) -> int:
    """The 64-bit seed of game number `game` in a run seeded with `seed`."""
    digest = hashlib.blake2b(f"tavrin_rl game {seed}:{game}".encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little")


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
    seat) seeded with `seed`."""
    agents = tuple(agents)
    seeds = np.array([game_seed(seed, first_game + i) for i in range(count)], dtype=np.uint64)
    game_col: list[int] = []
    ply_col: list[int] = []
    agent_col: list[int] = []
    action_col: list[int] = []
    states = bytearray()
    scores = np.zeros((count, NUM_SEATS), dtype=np.int16)
    outcomes = {mode: np.zeros((count, NUM_SEATS), dtype=np.float32) for mode in REWARD_MODES}
    plies = np.zeros(count, dtype=np.int16)
    game = PyTavrin()
    for i in range(count):
        number = first_game + i
        players = [make_agent(name, int(seeds[i]) * NUM_SEATS + seat)
                   for seat, name in enumerate(agents)]
        game.reset()
        while not game.is_over:
            mover = game.agent_selection
            if game.terminations[mover]:
                game.step(None)
                continue
            before = game.to_bytes()
            action = players[mover].act(game.observe(mover).action_mask)
            assert action is not None  # an agent that is not done has a legal placement
            game_col.append(number)
            ply_col.append(game.ply)
            agent_col.append(mover)
            action_col.append(action)
            states += before
            game.step(action)
        scores[i] = game.scores
        for mode in REWARD_MODES:
            outcomes[mode][i] = game.outcome(mode)
        plies[i] = game.ply
    return Chunk(
        first_game=first_game, agents=agents,
        game=np.array(game_col, dtype=np.int64), ply=np.array(ply_col, dtype=np.int16),
        agent=np.array(agent_col, dtype=np.int8), action=np.array(action_col, dtype=np.uint16),
        state=np.frombuffer(bytes(states), dtype=np.uint8).reshape(-1, STATE_BYTES),
        seeds=seeds, scores=scores, outcomes=outcomes, plies=plies)
