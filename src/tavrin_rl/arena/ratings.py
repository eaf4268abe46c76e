"""The arena's game records and ratings: openskill's Plackett-Luce model over each game's ranking by score, every
agent's totals, and the table and SVG chart of them (see `tavrin_rl.arena` for how copies of an
agent are rated)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from fractions import Fraction
from typing import Any, TextIO
from xml.sax.saxutils import escape

from tavrin_rl._summary import wilson_interval

@dataclass(frozen=True)
class GameRecord:
    """One finished game: the pool index and score per seat, placements and passes asked of
    each seat (`moves`), the CPU seconds each seat's agent took to choose them, and plies."""

    number: int
    seats: tuple[int, ...]
    scores: tuple[int, ...]
    moves: tuple[int, ...]
    cpu: tuple[float, ...]
    plies: int


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


def standings(pool: Sequence[str], records: Sequence[GameRecord]) -> list[Standing]:
    """Ratings and totals from `records` taken in game-number order, best ordinal first."""
    model = import_openskill()()
    ratings = [model.rating(name=agent) for agent in pool]
    rows = [Standing(agent) for agent in pool]
    for record in sorted(records, key=lambda r: r.number):
        place = places(record.scores)
        rated = model.rate([[ratings[i]] for i in record.seats], ranks=place)
        mu_change = [0.0] * len(pool)
        variance_factor = [1.0] * len(pool)
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


def _ticks(low: float, high: float) -> list[float]:
    step = 10 ** math.floor(math.log10(max(high - low, 1e-9) / 4))
    for factor in (1, 2, 5, 10):
        if (high - low) / (step * factor) <= 6:
            step *= factor
            break
    return [i * step for i in range(math.ceil(low / step), math.floor(high / step) + 1)]


def to_svg(rows: Sequence[Standing], title: str) -> str:
    """One row per agent, best first: a whisker from mu - 3 sigma (the ordinal) to mu + 3 sigma,
    a bar over mu +- sigma and a dot at mu."""
    left, right, top, row_height = 150, 30, 50, 30
    width = 720
    height = top + row_height * len(rows) + 40
    low = min(row.mu - Z * row.sigma for row in rows)
    high = max(row.mu + Z * row.sigma for row in rows)
    pad = 0.05 * (high - low or 1)
    low, high = low - pad, high + pad

    def x(value: float) -> float:
        return left + (value - low) / (high - low) * (width - left - right)

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="13">',
             f'<rect width="{width}" height="{height}" fill="white"/>',
             f'<text x="{width / 2}" y="22" text-anchor="middle" font-size="15">'
             f'{escape(title)}</text>']
    bottom = top + row_height * len(rows)
    for tick in _ticks(low, high):
        parts.append(f'<line x1="{x(tick):.1f}" y1="{top - 8}" x2="{x(tick):.1f}" '
                     f'y2="{bottom}" stroke="#ddd"/>')
        parts.append(f'<text x="{x(tick):.1f}" y="{bottom + 16}" text-anchor="middle" '
                     f'fill="#555">{tick:g}</text>')
    parts.append(f'<text x="{(left + width - right) / 2}" y="{bottom + 34}" '
                 'text-anchor="middle" fill="#555">rating: dot mu, bar mu ± sigma, whisker '
                 'mu ± 3 sigma (left end: ordinal)</text>')
    for number, row in enumerate(rows):
        y = top + row_height * number + row_height / 2
        a, b = x(row.mu - Z * row.sigma), x(row.mu + Z * row.sigma)
        parts += [
            f'<text x="{left - 10}" y="{y + 4:.1f}" text-anchor="end">{escape(row.agent)}</text>',
            f'<line x1="{a:.1f}" y1="{y:.1f}" x2="{b:.1f}" y2="{y:.1f}" stroke="#333"/>',
            f'<line x1="{a:.1f}" y1="{y - 6:.1f}" x2="{a:.1f}" y2="{y + 6:.1f}" stroke="#333"/>',
            f'<line x1="{b:.1f}" y1="{y - 6:.1f}" x2="{b:.1f}" y2="{y + 6:.1f}" stroke="#333"/>',
            f'<rect x="{x(row.mu - row.sigma):.1f}" y="{y - 5:.1f}" '
            f'width="{x(row.mu + row.sigma) - x(row.mu - row.sigma):.1f}" height="10" '
            'fill="#7aa6d8"/>',
            f'<circle cx="{x(row.mu):.1f}" cy="{y:.1f}" r="4" fill="#1f4e8c">'
            f'<title>{escape(row.agent)}: mu {row.mu:.2f}, sigma {row.sigma:.2f}, '
            f'ordinal {row.ordinal:.2f}</title></circle>']
    parts.append("</svg>")
    return "\n".join(parts) + "\n"
