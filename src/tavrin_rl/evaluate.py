"""A policy's strength: `play_games` plays a chooser against engine seats on the batched engine,
and `evaluate` gives a policy file's win share over many games. (Its first import path,
`tavrin_rl.agents.evaluate`, still works.)"""

from __future__ import annotations

import operator
import os
from dataclasses import dataclass
from typing import Any

import numpy as np

from tavrin_rl._system import blas_threads
from tavrin_rl.nets.policy import Policy
from tavrin_rl.play_loop import LEARNER, outcome, play_out
from tavrin_rl.vector import VectorGames

__all__ = ["Evaluation", "evaluate", "outcome", "play_games"]


@dataclass
class Evaluation:
    """The policy's results over `games` games: the sum of its win shares (ties split) and of
    its rank outcomes."""

    games: int
    wins: float
    rank: float
    opponents: tuple[str, ...]

    @property
    def win_share(self) -> float:
        return self.wins / self.games

    def interval(self) -> tuple[float, float]:
        """The 95% Wilson interval of the win share."""
        from tavrin_rl._summary import wilson_interval
        return wilson_interval(self.wins, self.games)

    def __str__(self) -> str:
        low, high = self.interval()
        return (f"win share {100 * self.win_share:.1f}% (95% interval {100 * low:.1f}%-"
                f"{100 * high:.1f}%) over {self.games} games vs {', '.join(self.opponents)}; "
                f"mean rank outcome {self.rank / self.games:.3f}")


def _game_count(games: Any) -> int:
    """`games` as an int, refused unless a whole number of at least 1: a result of no games has
    no win share."""
    try:
        count = operator.index(games)
    except TypeError:
        raise ValueError(f"games must be a whole number of at least 1, got {games!r}") from None
    if isinstance(games, bool) or count < 1:
        raise ValueError(f"games must be a whole number of at least 1, got {games!r}")
    return count


def play_games(choose: Any, opponents: Any, games: int, seed: int = 0, batch: int = 256,
               ) -> Evaluation:
    """Play `games` games of a learner against three engine seats `opponents` (names of
    `tavrin_rl.vector.POLICIES`), the learner's seat turned per game; `choose(board, extras,
    segment, legal)` returns one grid index per position (as `Policy.choose`)."""
    games = _game_count(games)
    opponents = tuple(opponents)
    if len(opponents) != 3:
        raise ValueError(f"give three opponents, got {len(opponents)}")
    wins = rank = 0.0
    played = 0
    while played < games:
        n = min(batch, games - played)
        v = VectorGames(n, threads=1, seed=seed, observation="compact", mask=False,
                        reward_mode="win_share", autoreset=False,
                        seats=("learner", *opponents), rotate_seats=True, first_game=played)
        learner = np.argmax(v.lineup == LEARNER, axis=1)
        play_out(v, {LEARNER: lambda games, *position: choose(*position)})
        for i in range(n):
            wins += outcome(v.game(i), "win_share")[learner[i]]
            rank += outcome(v.game(i), "rank")[learner[i]]
        played += n
    return Evaluation(played, wins, rank, opponents)


def evaluate(policy: Policy | str | os.PathLike[str], opponents: Any = ("greedy",) * 3,
             games: int = 1000, seed: int = 0, sample: bool = False,
             blas: int | None = 1) -> Evaluation:
    """Play `games` games of `policy` (a `Policy` or a policy file) against three engine seats,
    its seat turned per game, and return its win share (print it for the Wilson interval).
    numpy's BLAS runs at most `blas` threads meanwhile (None: as it is)."""
    games = _game_count(games)
    net = policy if isinstance(policy, Policy) else Policy.load(policy)
    rng = np.random.default_rng(seed)

    def choose(board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
               legal: np.ndarray) -> np.ndarray:
        uniform: np.ndarray | None = rng.random((len(board),)) if sample else None
        return net.choose(board, extras, segment, legal, uniform)
    with blas_threads(blas):
        return play_games(choose, opponents, games, seed)
