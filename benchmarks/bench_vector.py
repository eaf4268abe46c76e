"""Speed of the batched engine (`tavrin_rl.vector.VectorGames`) next to the per-ply PyTavrin loop.

One run of each configuration is timed in turn, round after round (interleaved, so a busy moment
of a shared machine hits every configuration alike), and the median of the rounds is reported:

* the per-ply loop: ``observe(agent_selection)``, the action mask as bool, a random legal index,
  ``step`` (the fastest loop of ``bench_python.py``);
* ``VectorGames``: ``step(sample_actions())`` on N games, for each observation mode, with and
  without the mask, on 1 and 2 threads.

Plies are placements (passes are not counted). Figures are plies per second of wall time and of
process CPU time (all threads), and the ratio of each to the per-ply loop's.

    python benchmarks/bench_vector.py [--games 256] [--rounds 5] [--seconds 0.5]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np

from tavrin_rl import PyTavrin
from tavrin_rl.vector import VectorGames

CONFIGS = [  # (observation, mask)
    ("full", True), ("compact", True), (None, True), (None, False)]


def per_ply_loop(seconds: float, rng: np.random.Generator) -> tuple[int, float, float]:
    """Plays whole games for about `seconds`; returns (plies, wall s, CPU s)."""
    plies = 0
    wall, cpu = time.perf_counter(), time.process_time()
    while time.perf_counter() - wall < seconds:
        game = PyTavrin()
        while not game.is_over:
            mask = np.frombuffer(game.observe(game.agent_selection).action_mask, dtype=np.bool_)
            legal = np.flatnonzero(mask)
            game.step(int(legal[rng.integers(legal.size)]) if legal.size else None)
        plies += game.ply
    return plies, time.perf_counter() - wall, time.process_time() - cpu


def batch_loop(v: VectorGames, seconds: float) -> tuple[int, float, float]:
    steps = 0
    wall, cpu = time.perf_counter(), time.process_time()
    while time.perf_counter() - wall < seconds:
        for _ in range(10):
            v.step(v.sample_actions())
        steps += 10
    return steps * v.num_games, time.perf_counter() - wall, time.process_time() - cpu


def label(observation: str | None, mask: bool, threads: int) -> str:
    return f"observation={observation!s:8} mask={mask!s:5} threads={threads}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=256, help="games per VectorGames (N)")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (the median is reported)")
    parser.add_argument("--seconds", type=float, default=0.5, help="time per configuration per round")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown too")
    args = parser.parse_args(argv)

    rng = np.random.default_rng(0)
    batches = {(obs, mask, t): VectorGames(args.games, threads=t, seed=0, observation=obs, mask=mask)
               for t in args.threads for obs, mask in CONFIGS}
    for v in batches.values():  # warm up: past the first plies, where every game looks alike
        for _ in range(40):
            v.step(v.sample_actions())
    loop_wall, loop_cpu = [], []
    wall: dict[tuple, list[float]] = {key: [] for key in batches}
    cpu: dict[tuple, list[float]] = {key: [] for key in batches}
    for _ in range(args.rounds):
        plies, w, c = per_ply_loop(args.seconds, rng)
        loop_wall.append(plies / w)
        loop_cpu.append(plies / c)
        for key, v in batches.items():
            plies, w, c = batch_loop(v, args.seconds)
            wall[key].append(plies / w)
            cpu[key].append(plies / c)

    base_wall, base_cpu = statistics.median(loop_wall), statistics.median(loop_cpu)
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, N = {args.games}, "
          f"medians of {args.rounds} interleaved rounds of {args.seconds} s")
    print(f"{'configuration':40} {'plies/s (wall)':>15} {'ratio':>7} {'plies/CPU-s':>12} {'ratio':>7}"
          f" {'KB/game':>8}")
    print(f"{'per-ply PyTavrin loop':40} {base_wall:15,.0f} {1:7.1f} {base_cpu:12,.0f} {1:7.1f}")
    for (obs, mask, t), values in wall.items():
        w, c = statistics.median(values), statistics.median(cpu[obs, mask, t])
        kb = VectorGames.bytes_per_game(obs, mask) / 1000
        print(f"{label(obs, mask, t):40} {w:15,.0f} {w / base_wall:7.1f} {c:12,.0f} {c / base_cpu:7.1f}"
              f" {kb:8.1f}")
    if args.markdown:
        print("\n| configuration | plies/s (wall) | ratio | plies/CPU-s | ratio |\n|---|---|---|---|---|")
        print(f"| per-ply `PyTavrin` loop | {base_wall:,.0f} | 1.0 | {base_cpu:,.0f} | 1.0 |")
        for (obs, mask, t), values in wall.items():
            w, c = statistics.median(values), statistics.median(cpu[obs, mask, t])
            print(f"| observation={obs!r}, mask={mask}, threads={t} | {w:,.0f} | {w / base_wall:.1f} "
                  f"| {c:,.0f} | {c / base_cpu:.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
