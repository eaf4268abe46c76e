"""The performance table of the docs (docs/snippets/perf_table.md), from the benchmark scripts: the per-ply Python loop and the
batched engine (the timing loops of `bench_vector.py`) and C++ self-play (`tavrin_bench`).

    bash scripts/perf_table.sh          # builds what it needs, then runs this
    python benchmarks/perf_table.py --bench build/bench/tavrin_bench

Prints a Markdown table and the CPU it ran on. The Python rows are timed in interleaved rounds
(each configuration once per round, so a busy moment of a shared machine hits them alike) and
each figure is the median over the rounds; the C++ row is the median of `tavrin_bench`'s
repetitions. Plies are placements (passes are not counted).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_vector  # noqa: E402  (a sibling script, not a package)

from tavrin_rl import PyTavrin  # noqa: E402
from tavrin_rl.vector import VectorGames  # noqa: E402

# (label, observation, mask, threads) of the batched rows
BATCHED = [
    ("full observations and masks", "full", True, 1),
    ("compact observations and masks", "compact", True, 1),
    ("masks only", None, True, 1),
    ("no observation or mask (moves sampled in C++)", None, False, 1),
    ("full observations and masks", "full", True, 2),
    ("no observation or mask (moves sampled in C++)", None, False, 2),
]


def cpu_name() -> str:
    """The CPU model and how many CPUs this process may use."""
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {available_cpus()} CPUs available"


def available_cpus() -> int:
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def python_rows(games: int, rounds: int, seconds: float) -> list[tuple[str, float, float]]:
    """(label, plies/s of wall time, plies per CPU-second) of the per-ply loop and each batched
    configuration, medians of interleaved rounds."""
    rng = np.random.default_rng(0)
    threads = available_cpus()
    configs = [(label, obs, mask, min(t, threads)) for label, obs, mask, t in BATCHED]
    batches = [VectorGames(games, threads=t, seed=0, observation=obs, mask=mask)
               for _, obs, mask, t in configs]
    for v in batches:  # past the first plies, where every game looks alike
        for _ in range(40):
            v.step(v.sample_actions())
    wall: list[list[float]] = [[] for _ in range(len(batches) + 1)]
    cpu: list[list[float]] = [[] for _ in range(len(batches) + 1)]
    for _ in range(rounds):
        plies, w, c = bench_vector.per_ply_loop(seconds, rng)
        wall[0].append(plies / w)
        cpu[0].append(plies / c)
        for i, v in enumerate(batches, start=1):
            plies, w, c = bench_vector.batch_loop(v, seconds)
            wall[i].append(plies / w)
            cpu[i].append(plies / c)
    labels = ["Python, one game per call: `observe`, mask as numpy bool, random legal index, "
              "`step`"]
    labels += [f"Batched `VectorGames`, {games} games, {t} thread{'s' if t > 1 else ''}: {label}"
               for label, _, _, t in configs]
    return [(name, statistics.median(w), statistics.median(c))
            for name, w, c in zip(labels, wall, cpu)]


def cpp_row(bench: Path) -> tuple[str, float, float]:
    """`tavrin_bench`'s whole-game self-play (the engine alone, random legal moves): medians of
    its repetitions. Its plies/s counter is per CPU-second; the wall figure is scaled from it."""
    done = subprocess.run(
        [str(bench), "--benchmark_filter=BM_SelfPlayGame$", "--benchmark_format=json"],
        capture_output=True, text=True, check=True, timeout=900)
    report = json.loads(done.stdout[:done.stdout.rindex("}") + 1])  # the signature line follows
    median = next(b for b in report["benchmarks"] if b.get("aggregate_name") == "median")
    per_cpu = float(median["plies/s"])
    per_wall = per_cpu * float(median["cpu_time"]) / float(median["real_time"])
    return ("C++ self-play, the engine alone (`tavrin_bench`, BM_SelfPlayGame)", per_wall, per_cpu)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", type=Path, required=True, help="the tavrin_bench executable")
    parser.add_argument("--games", type=int, default=256, help="games of the batched engine")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (medians)")
    parser.add_argument("--seconds", type=float, default=0.5,
                        help="time per configuration per round")
    args = parser.parse_args(argv)

    PyTavrin()  # the placement catalogue is built before anything is timed
    rows = python_rows(args.games, args.rounds, args.seconds)
    rows.append(cpp_row(args.bench))
    base = rows[0][2]
    print(f"CPU: {cpu_name()}; Python {platform.python_version()}, numpy {np.__version__}; "
          f"medians of {args.rounds} interleaved rounds\n")
    print("| Path | plies/s (wall) | plies per CPU-second | CPU µs per ply | × the Python loop (CPU) |")
    print("|---|---:|---:|---:|---:|")
    for name, wall, cpu in rows:
        print(f"| {name} | {wall:,.0f} | {cpu:,.0f} | {1e6 / cpu:.2f} | {cpu / base:.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
