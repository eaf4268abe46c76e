"""The arena's ratings drawn as an SVG picture (`python -m tavrin_rl arena --svg`)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from xml.sax.saxutils import escape

from tavrin_rl._arena_ratings import Z, Standing


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
