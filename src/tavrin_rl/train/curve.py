"""The learning curve of a training run: win shares against training CPU minutes, as SVG."""

from __future__ import annotations

from typing import Any, Sequence


def curve_svg(rows: list[dict[str, Any]], series: Sequence[str], title: str) -> str:
    """A line chart of win shares (%) against training CPU minutes, one line per series."""
    width, height, left, bottom, top, right = 640, 360, 50, 40, 30, 150
    points = {name: [(float(r["train_cpu_s"]) / 60, 100 * float(r[name])) for r in rows
                     if r.get(name) not in (None, "")] for name in series}
    xmax = max([x for pts in points.values() for x, _ in pts] + [1e-9])
    colours = ("#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b")

    def sx(x: float) -> float:
        return left + (width - left - right) * x / xmax

    def sy(y: float) -> float:
        return height - bottom - (height - bottom - top) * y / 100

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'font-family="sans-serif" font-size="12">',
             f'<rect width="{width}" height="{height}" fill="white"/>',
             f'<text x="{left}" y="18" font-size="14">{title}</text>']
    for y in range(0, 101, 20):
        parts.append(f'<line x1="{left}" y1="{sy(y):.1f}" x2="{width - right}" y2="{sy(y):.1f}" '
                     f'stroke="#ddd"/><text x="{left - 6}" y="{sy(y) + 4:.1f}" '
                     f'text-anchor="end">{y}%</text>')
    for i in range(5):
        x = xmax * i / 4
        parts.append(f'<text x="{sx(x):.1f}" y="{height - bottom + 16}" '
                     f'text-anchor="middle">{x:.1f}</text>')
    parts.append(f'<text x="{(left + width - right) / 2:.0f}" y="{height - 6}" '
                 'text-anchor="middle">training CPU minutes</text>')
    for k, name in enumerate(series):
        colour = colours[k % len(colours)]
        pts = " ".join(f"{sx(x):.1f},{sy(y):.1f}" for x, y in points[name])
        if pts:
            parts.append(f'<polyline fill="none" stroke="{colour}" stroke-width="2" '
                         f'points="{pts}"/>')
        ly = top + 18 * k
        parts.append(f'<line x1="{width - right + 10}" y1="{ly}" x2="{width - right + 30}" '
                     f'y2="{ly}" stroke="{colour}" stroke-width="2"/><text '
                     f'x="{width - right + 35}" y="{ly + 4}">{_label(name)}</text>')
    parts.append("</svg>\n")
    return "\n".join(parts)


def _label(series: str) -> str:
    """A curve's legend: the win share in training (against the training opponents, sampled
    choices) or in an evaluation (most likely choices)."""
    return "in training" if series == "train_win_share" else series.replace("eval_", "eval vs ")
