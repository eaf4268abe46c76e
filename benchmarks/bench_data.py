"""Speed of writing and reading self-play datasets.

Writes the same games with 1 and 2 local worker processes and with Ray tasks on a local instance
(started once, before the timed runs), in interleaved rounds, then reads them back in each
observation mode. Prints medians: games/s of wall-clock time (what a user waits for; it depends on
how busy the machine is) and CPU seconds per game (the driver's CPU plus its finished worker
processes'; not available for Ray, whose workers are not our children), bytes per game on disk,
and samples/s of CPU time when reading.

    python benchmarks/bench_data.py [--games 2000] [--rounds 3] [--no-ray]
"""

from __future__ import annotations

import argparse
import resource
import shutil
import statistics
import tempfile
import time
from pathlib import Path

from tavrin_rl import data

AGENTS = ("greedy", "random", "reach", "random")


def cpu_seconds() -> float:
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def write(folder: Path, games: int, **backend: object) -> tuple[float, float, int]:
    shutil.rmtree(folder, ignore_errors=True)
    cpu, wall = cpu_seconds(), time.perf_counter()
    summary = data.write_dataset(folder, games, AGENTS, seed=1, **backend)  # type: ignore[arg-type]
    return time.perf_counter() - wall, cpu_seconds() - cpu, summary.bytes


def read(folder: Path, observation: str | None) -> tuple[float, int]:
    started = time.process_time()
    samples = 0
    for batch in data.open(folder, observation=observation, batch_size=512):
        samples += len(batch["action"])
    return time.process_time() - started, samples


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-ray", action="store_true")
    args = parser.parse_args()
    backends: dict[str, dict[str, object]] = {
        "1 local worker": {"workers": 1}, "2 local workers": {"workers": 2}}
    if not args.no_ray:
        import ray
        started = time.perf_counter()
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        print(f"local Ray instance started in {time.perf_counter() - started:.1f} s (not timed)")
        backends["Ray, local instance, 2 CPUs"] = {"ray": True}
    root = Path(tempfile.mkdtemp())
    walls: dict[str, list[float]] = {name: [] for name in backends}
    cpus: dict[str, list[float]] = {name: [] for name in backends}
    size = 0
    for _ in range(args.rounds):
        for name, backend in backends.items():
            wall, cpu, size = write(root / "games", args.games, **backend)
            walls[name].append(wall)
            cpus[name].append(cpu)
    print(f"\nwriting {args.games} games ({', '.join(AGENTS)}), median of {args.rounds} "
          "interleaved runs")
    print(f"{'backend':<30} {'games/s (wall)':>15} {'CPU ms per game':>16}")
    for name in backends:
        cpu = "-" if name.startswith("Ray") else f"{1000 * statistics.median(cpus[name]) / args.games:.2f}"
        print(f"{name:<30} {args.games / statistics.median(walls[name]):>15,.0f} {cpu:>16}")
    print(f"bytes per game on disk: {size / args.games:,.0f}")

    print(f"\nreading (batch_size 512), median of {args.rounds} runs, samples/s of CPU time")
    for observation in ("compact", "full", None):
        times = []
        for _ in range(args.rounds):
            seconds, samples = read(root / "games", observation)
            times.append(seconds)
        print(f"observation={observation!r:<10} {samples / statistics.median(times):>12,.0f}")
    shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
