"""The arena's ratings: openskill's Plackett-Luce model over each game's ranking by score, and the
totals and table of every agent (see `tavrin_rl.arena` for how copies of an agent are rated)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from fractions import Fraction
from typing import TYPE_CHECKING, Any, TextIO

from tavrin_rl._summary import wilson_interval

if TYPE_CHECKING:
    from tavrin_rl.arena import GameRecord

Z = 3.0  # ordinal = mu - Z sigma, openskill's default


def places(scores: Sequence[int]) -> list[float]:
    """Each seat's place by score, 1 for first; tied seats share the mean of their places."""
    return [1 + sum(o > s for o in scores) + (sum(o == s for o in scores) - 1) / 2
            for s in scores]


def import_openskill() -> Any:
    try:
        from openskill.models import PlackettLuce
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError("the arena rates with openskill: "
                                  "pip install 'tavrin_rl[arena]'", name=error.name) from error
    return PlackettLuce


@dataclass
class Standing:
    """One agent's rating and totals over the games counted."""

    agent: str
    mu: float = 0.0
    sigma: float = 0.0
    ordinal: float = 0.0
    seats: int = 0  # seats held, an agent doubled at a table holding two
    wins: Fraction = Fraction(0)
    score: int = 0
    place: float = 0.0
    moves: int = 0
    cpu: float = 0.0
    win_interval: tuple[float, float] = (0.0, 1.0)

    def as_json(self) -> dict[str, Any]:
        n = max(1, self.seats)
        return {
            "agent": self.agent, "mu": self.mu, "sigma": self.sigma, "ordinal": self.ordinal,
            "seats": self.seats, "wins": float(self.wins), "win_share": float(self.wins) / n,
            "win_share_95": list(self.win_interval), "mean_score": self.score / n,
            "mean_place": self.place / n, "moves": self.moves,
            "cpu_ms_per_move": 1000 * self.cpu / max(1, self.moves)}


def standings(specs: Sequence[str], records: Sequence[GameRecord]) -> list[Standing]:
    """Ratings and totals from `records` taken in game-number order, best ordinal first."""
    model = import_openskill()()
    ratings = [model.rating(name=spec) for spec in specs]
    rows = [Standing(spec) for spec in specs]
    for record in sorted(records, key=lambda r: r.number):
        place = places(record.scores)
        rated = model.rate([[ratings[i]] for i in record.seats], ranks=place)
        mu_change = [0.0] * len(specs)
        variance_factor = [1.0] * len(specs)
        top = max(record.scores)
        leaders = record.scores.count(top)
        for seat, index in enumerate(record.seats):
            new, old = rated[seat][0], ratings[index]
            mu_change[index] += new.mu - old.mu
            variance_factor[index] *= (new.sigma / old.sigma) ** 2
            row = rows[index]
            row.seats += 1
            row.wins += Fraction(1, leaders) if record.scores[seat] == top else 0
            row.score += record.scores[seat]
            row.place += place[seat]
            row.moves += record.moves[seat]
            row.cpu += record.cpu[seat]
        for index in set(record.seats):
            old = ratings[index]
            ratings[index] = model.rating(mu=old.mu + mu_change[index],
                                          sigma=old.sigma * math.sqrt(variance_factor[index]),
                                          name=old.name)
    for row, rating in zip(rows, ratings):
        row.mu, row.sigma, row.ordinal = rating.mu, rating.sigma, rating.mu - Z * rating.sigma
        row.win_interval = wilson_interval(float(row.wins), row.seats)
    return sorted(rows, key=lambda r: -r.ordinal)


def report_table(rows: Sequence[Standing], played: int, planned: int, out: TextIO) -> None:
    """The ratings table, best ordinal first."""
    done = f"{played} games" if played == planned else f"{played} of {planned} games (interrupted)"
    out.write(f"\n{done}; Plackett-Luce ratings, ordinal = mu - 3 sigma; win share with ties "
              "split evenly and its 95% Wilson interval\n")
    width = max(5, *(len(row.agent) for row in rows))
    out.write(f"{'#':>2} {'agent':<{width}} {'ordinal':>7} {'mu':>6} {'sigma':>5} {'seats':>5} "
              f"{'win share':>9}  {'95% interval':<13} {'mean score':>10} {'mean place':>10} "
              f"{'CPU ms/move':>11}\n")
    for number, row in enumerate(rows, 1):
        n = max(1, row.seats)
        low, high = row.win_interval
        out.write(f"{number:>2} {row.agent:<{width}} {row.ordinal:>7.2f} {row.mu:>6.2f} "
                  f"{row.sigma:>5.2f} {row.seats:>5} {100 * float(row.wins) / n:>8.1f}%  "
                  f"{f'{100 * low:.1f}-{100 * high:.1f}%':<13} {row.score / n:>10.2f} "
                  f"{row.place / n:>10.2f} {1000 * row.cpu / max(1, row.moves):>11.3f}\n")
