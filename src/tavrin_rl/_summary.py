"""The tables `python -m tavrin_rl` prints: one game's result, and the summary over many games
with Wilson intervals (shared with the arena and the policy evaluation)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from fractions import Fraction
from typing import TextIO

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.board_state import COLOUR_NAMES
from tavrin_rl.catalogue import NUM_SEATS

Z_95 = 1.959963984540054  # two-sided 95% normal quantile


@dataclass
class GameResult:
    """One game's end: scores, outcomes per reward mode (None when the game was left
    unfinished), pieces left per seat, plies played, the agents' time, and the placements."""

    scores: list[int]
    outcomes: dict[str, list[float]] | None
    pieces_left: list[int]
    plies: int
    seconds: float
    moves: list[tuple[int, int]] = field(default_factory=list)


@dataclass
class Totals:
    """Sums over finished games. Wins are kept as exact fractions: a tie among three leaders
    gives each a third, and three such thirds make a whole win again."""

    games: int = 0
    plies: int = 0
    seconds: float = 0.0
    wins: list[Fraction] = field(default_factory=lambda: [Fraction(0)] * NUM_SEATS)
    scores: list[float] = field(default_factory=lambda: [0.0] * NUM_SEATS)
    rewards: list[float] = field(default_factory=lambda: [0.0] * NUM_SEATS)

    def add(self, result: GameResult, reward_mode: str) -> None:
        """Count one finished game, with its reward in `reward_mode`."""
        assert result.outcomes is not None  # only finished games are counted
        self.games += 1
        self.plies += result.plies
        self.seconds += result.seconds
        for seat in range(NUM_SEATS):
            share = result.outcomes["win_share"][seat]
            # single-precision shares (0.33333334) name the exact split 1 / leaders
            self.wins[seat] += Fraction(1, round(1 / share)) if share > 0 else 0
            self.scores[seat] += result.scores[seat]
            self.rewards[seat] += result.outcomes[reward_mode][seat]


def wilson_interval(successes: float, trials: int, z: float = Z_95) -> tuple[float, float]:
    """Wilson score interval of a success rate; shared wins count fractionally."""
    if trials <= 0:
        return 0.0, 1.0
    rate = successes / trials
    denominator = 1.0 + z * z / trials
    centre = (rate + z * z / (2 * trials)) / denominator
    half = z / denominator * math.sqrt(rate * (1 - rate) / trials + z * z / (4 * trials * trials))
    return max(0.0, centre - half), min(1.0, centre + half)


def format_wins(wins: Sequence[Fraction | float]) -> list[str]:
    """The wins column: whole numbers while every seat's wins are whole, otherwise every seat
    with one decimal (ties split wins into halves, thirds and quarters)."""
    if all(float(w).is_integer() for w in wins):
        return [f"{int(w)}" for w in wins]
    return [f"{float(w):.1f}" for w in wins]


def _speed(plies: int, seconds: float) -> str:
    rate = plies / seconds if seconds > 0 else float("inf")
    return f"{plies} plies in {seconds:.3f} s ({rate:,.0f} plies/s)"


def report_game(result: GameResult, names: Sequence[str], out: TextIO) -> None:
    """The table of one game: per seat its agent, pieces left, score and outcome per mode."""
    modes = PyTavrin.reward_modes
    width = max(7, *(len(name) for name in names))
    out.write(f"{'seat':<9} {'agent':<{width}} {'colour':<7} {'pieces left':>11} "
              + " ".join(f"{mode:>9}" for mode in modes) + "\n")
    for seat in range(NUM_SEATS):
        values = []
        for mode in modes:
            if mode == "score":
                values.append(f"{result.scores[seat]:>9}")
            elif result.outcomes is None:
                values.append(f"{'-':>9}")
            else:
                values.append(f"{result.outcomes[mode][seat]:>9.3f}")
        out.write(f"player_{seat:<2} {names[seat]:<{width}} {COLOUR_NAMES[seat]:<7} "
                  f"{result.pieces_left[seat]:>11} " + " ".join(values) + "\n")
    if result.outcomes is None:
        out.write(f"game left unfinished after {result.plies} plies\n")
    else:
        out.write(_speed(result.plies, result.seconds) + "\n")


def report_summary(totals: Totals, names: Sequence[str], reward_mode: str, out: TextIO,
                   planned: int | None = None) -> None:
    """The table over many games: wins (ties split evenly), win rate with its Wilson interval,
    mean score, and the mean reward in `reward_mode` unless that is the score itself."""
    n = totals.games
    played = f"{n} games" if planned is None else f"{n} of {planned} games (interrupted)"
    out.write(f"\n{played}; wins split evenly on ties; 95% Wilson intervals\n")
    width = max(7, *(len(name) for name in names))
    # "reward (rank)": the mean reward in that mode, which is not the place (1st, 2nd...)
    reward_title = "" if reward_mode == "score" else f" {'reward (' + reward_mode + ')':>14}"
    out.write(f"{'seat':<9} {'agent':<{width}} {'wins':>7} {'win rate':>8}  "
              f"{'95% interval':<15} {'mean score':>10}{reward_title}\n")
    wins = format_wins(totals.wins)
    for seat in range(NUM_SEATS):
        low, high = wilson_interval(float(totals.wins[seat]), n)
        interval = f"{100 * low:.1f}%-{100 * high:.1f}%"
        reward = "" if reward_mode == "score" else f" {totals.rewards[seat] / n:>14.3f}"
        out.write(f"player_{seat:<2} {names[seat]:<{width}} {wins[seat]:>7} "
                  f"{100 * float(totals.wins[seat]) / n:>7.1f}%  {interval:<15} "
                  f"{totals.scores[seat] / n:>10.2f}{reward}\n")
    out.write(_speed(totals.plies, totals.seconds) + "\n")
