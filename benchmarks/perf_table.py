"""The README's performance table, from the benchmark scripts: the per-ply Python loop
(`bench_python.py`), the batched engine (`tavrin_rl.vector`) and C++ self-play (`tavrin_bench`).

    bash scripts/perf_table.sh          # builds what it needs, then runs this
    python benchmarks/perf_table.py --bench build/bench/tavrin_bench

Prints a Markdown table with the CPU it ran on. Figures are medians over several runs; the
rows are measured one after another in this one process (the C++ benchmark in a child process),
so compare them with each other rather than with figures from another machine.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_python  # noqa: E402  (a sibling script, not a package)

from tavrin_rl import PyTavrin  # noqa: E402


def cpu_name() -> str:
    """The CPU model and the CPUs this process may use."""
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return f"{model}, {cpus} CPUs available"


def per_ply_loop(games: int, runs: int) -> dict[str, float]:
    """The single-game Python loop of the README, mask read as bool (`bench_python.bench_loop`)."""
    plies, _ = bench_python.bench_loop(games, runs, 0, np.bool_)
    return {"plies/s": plies}


def batched(num_games: int, steps: int, runs: int, threads: int | None) -> dict[str, float]:
    """`VectorGames.step` with `sample_actions` (random legal moves chosen in C++), full
    observations and masks written every step; plies/s counts one placement per game per step."""
    from tavrin_rl.vector import VectorGames

    rates = []
    for run in range(runs):
        kwargs = {} if threads is None else {"threads": threads}
        games = VectorGames(num_games=num_games, seed=run, **kwargs)
        games.step(games.sample_actions())  # first touch of the arrays, untimed
        start = time.perf_counter()
        for _ in range(steps):
            games.step(games.sample_actions())
        rates.append(num_games * steps / (time.perf_counter() - start))
    return {"plies/s": statistics.median(rates)}


def cpp_self_play(bench: Path) -> dict[str, float]:
    """`tavrin_bench`'s whole-game self-play benchmark (engine alone, random legal moves) and its
    bench signature (observation and mask written at every ply)."""
    done = subprocess.run(
        [str(bench), "--benchmark_filter=BM_SelfPlayGame$", "--benchmark_format=json"],
        capture_output=True, text=True, check=True, timeout=600)
    report = json.loads(done.stdout[:done.stdout.rindex("}") + 1])
    median = next(b for b in report["benchmarks"] if b.get("aggregate_name") == "median")
    signature = done.stdout[done.stdout.rindex("}") + 1:].strip()
    observed = float(signature.split(" plies/s")[0].rsplit(", ", 1)[1])
    return {"plies/s": float(median["plies/s"]), "observed plies/s": observed}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", type=Path, required=True, help="the tavrin_bench executable")
    parser.add_argument("--runs", type=int, default=5, help="runs per figure (the median is shown)")
    parser.add_argument("--games", type=int, default=20, help="games per run of the Python loop")
    parser.add_argument("--batch", type=int, default=256, help="games of the batched engine")
    parser.add_argument("--steps", type=int, default=100, help="batched steps per run")
    args = parser.parse_args(argv)

    PyTavrin()  # the placement catalogue is built before anything is timed
    loop = per_ply_loop(args.games, args.runs)
    one_thread = batched(args.batch, args.steps, args.runs, 1)
    all_threads = batched(args.batch, args.steps, args.runs, None)
    cpp = cpp_self_play(args.bench)
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()

    rows = [
        ("Python loop, one game: `observe`, mask as numpy bool, random legal index, `step`",
         loop["plies/s"]),
        (f"Batched engine, {args.batch} games, 1 thread: `VectorGames.step(sample_actions())`, "
         "full observations and masks", one_thread["plies/s"]),
        (f"Batched engine, {args.batch} games, {cpus} threads: the same", all_threads["plies/s"]),
        ("C++ self-play, engine alone (`tavrin_bench` BM_SelfPlayGame)", cpp["plies/s"]),
        ("C++ self-play writing every observation and mask (`tavrin_bench` signature)",
         cpp["observed plies/s"]),
    ]
    print(f"CPU: {cpu_name()}; Python {platform.python_version()}, numpy {np.__version__}; "
          f"medians of {args.runs} runs\n")
    print("| Path | plies/s | µs per ply |")
    print("|---|---:|---:|")
    for name, rate in rows:
        print(f"| {name} | {rate:,.0f} | {1e6 / rate:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
