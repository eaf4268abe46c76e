"""The move generator's kernels of two builds side by side: `tavrin_bench`'s self-play and playout
benchmarks per CPU-second, for each kernel, in interleaved rounds (build A, build B, A, B, ...,
so a busy moment of a shared machine hits both alike); medians of the rounds and B's ratio to A.

    python benchmarks/bench_kernels.py BASE_BENCH NEW_BENCH [--rounds 5] [--kernels avx2 avx512]
        [--filter 'BM_SelfPlayGame$|BM_Playout/2/']

BASE_BENCH and NEW_BENCH are `tavrin_bench` binaries (build one from another commit with
`git worktree add`). A kernel the CPU lacks is reported by the benchmark and skipped here.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile


def run(bench: str, kernel: str, pattern: str, min_time: float) -> dict[str, float]:
    """CPU microseconds per iteration of each benchmark matching `pattern`."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "report.json")
        subprocess.run([bench, f"--benchmark_filter={pattern}", f"--benchmark_min_time={min_time}",
                        f"--benchmark_out={path}", "--benchmark_out_format=json"],
                       env=dict(os.environ, TAVRIN_KERNEL=kernel), check=True, capture_output=True)
        with open(path) as f:
            report = json.load(f)
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
    # A benchmark that repeats itself reports its aggregates only: its median stands for the run.
    return {b.get("run_name", b["name"]): b["cpu_time"] * scale[b["time_unit"]] for b in report["benchmarks"]
            if b.get("run_type") == "iteration" or b.get("aggregate_name") == "median"}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("base")
    parser.add_argument("new")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--kernels", nargs="+", default=["avx2", "avx512", "portable"])
    parser.add_argument("--filter", default="BM_SelfPlayGame$|BM_Playout/2/")
    parser.add_argument("--min-time", type=float, default=0.5, help="seconds per benchmark run")
    args = parser.parse_args(argv)

    load = os.getloadavg()
    print(f"{os.cpu_count()} CPUs, load average at start {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
          f"{args.rounds} interleaved rounds, CPU time")
    times: dict[tuple[str, str, str], list[float]] = {}
    for _ in range(args.rounds):
        for kernel in args.kernels:
            for which, bench in (("base", args.base), ("new", args.new)):
                for name, t in run(bench, kernel, args.filter, args.min_time).items():
                    times.setdefault((kernel, name, which), []).append(t)
    print(f"{'kernel':<9} {'benchmark':<34} {'base CPU µs':>12} {'new CPU µs':>12} {'speed-up':>9}")
    for kernel in args.kernels:
        names = sorted({name for (k, name, _) in times if k == kernel})
        for name in names:
            base = statistics.median(times[(kernel, name, "base")])
            new = statistics.median(times[(kernel, name, "new")])
            print(f"{kernel:<9} {name:<34} {base:>12.1f} {new:>12.1f} {base / new:>8.2f}×")
    load = os.getloadavg()
    print(f"load average at end {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
