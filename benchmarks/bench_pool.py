"""The batched engine's thread pool on 1 and 2 threads (and the default count), alone and beside
one busy loop that this script starts itself, the usual case on a shared machine.

`VectorGames(256, observation=None)` (the mask kept, as by default) steps with the engine's
sampler, `step(sample_actions())`.
Each round times every (condition, threads) pair in turn for `--seconds`, so a busy moment of a
shared machine hits each alike; the median over the rounds is reported, in plies per second of wall
time, with its ratio to one thread's under the same condition. With `--src`, each source tree's
package (its built modules beside it) is timed in its own process, round by round, so two builds
compare under the same load.

    python benchmarks/bench_pool.py [--games 256] [--rounds 5] [--seconds 1] [--no-mask]
                                    [--src DIR [DIR ...]]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

BUSY_LOOP = "while True: pass"


def measure(games: int, threads: int | None, seconds: float, mask: bool) -> dict:
    """Plies per second of wall and CPU time of one batch; runs inside the timed tree's process."""
    from tavrin_rl.vector import VectorGames

    v = VectorGames(games, threads=threads, seed=0, observation=None, mask=mask)
    for _ in range(40):  # past the first plies, where every game looks alike
        v.step(v.sample_actions())
    steps = 0
    wall, cpu = time.perf_counter(), time.process_time()
    while time.perf_counter() - wall < seconds:
        for _ in range(10):
            v.step(v.sample_actions())
        steps += 10
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return {"threads": v.threads, "wall": steps * games / wall, "cpu": steps * games / cpu}


def worker(args: argparse.Namespace) -> int:
    for threads in args.threads:
        print(json.dumps(measure(args.games, None if threads == 0 else threads, args.seconds, args.mask)
                         | {"asked": threads}), flush=True)
    return 0


def run_tree(src: str | None, args: argparse.Namespace) -> list[dict]:
    """One pass over the thread counts in a fresh process of the tree `src` (None: this one's)."""
    env = dict(os.environ)
    if src is not None:
        env["PYTHONPATH"] = os.path.join(src, "src")
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", "--games", str(args.games),
           "--seconds", str(args.seconds), "--threads", *map(str, args.threads)]
    if not args.mask:
        cmd.append("--no-mask")
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (medians reported)")
    parser.add_argument("--seconds", type=float, default=1.0, help="time per configuration per round")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2, 0], help="0: the default count")
    parser.add_argument("--no-mask", dest="mask", action="store_false", help="without the legal-action mask")
    parser.add_argument("--src", nargs="+", default=[None], help="source trees to compare (default: this)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        return worker(args)

    load = os.getloadavg()
    print(f"{os.cpu_count()} CPUs, load average at start {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
          f"{args.games} games, no observations, mask {args.mask}, {args.rounds} rounds of {args.seconds} s")
    walls: dict[tuple, list[float]] = {}
    counts: dict[tuple, int] = {}
    for _ in range(args.rounds):
        for busy in (False, True):
            loop = subprocess.Popen([sys.executable, "-c", BUSY_LOOP]) if busy else None
            try:
                if loop is not None:
                    time.sleep(0.2)  # the loop is running before the clock starts
                for src in args.src:
                    for r in run_tree(src, args):
                        key = (src, busy, r["asked"])
                        walls.setdefault(key, []).append(r["wall"])
                        counts[key] = r["threads"]
            finally:
                if loop is not None:
                    loop.kill()
                    loop.wait()
    print(f"{'tree':<28} {'condition':<12} {'threads':>10} {'plies/s wall':>14} {'× 1 thread':>11}")
    for src in args.src:
        for busy in (False, True):
            one = statistics.median(walls[(src, busy, 1)]) if (src, busy, 1) in walls else None
            for asked in args.threads:
                median = statistics.median(walls[(src, busy, asked)])
                shown = f"{counts[(src, busy, asked)]}" + (" (default)" if asked == 0 else "")
                ratio = f"{median / one:.2f}×" if one else "-"
                print(f"{str(src or 'this tree'):<28} {'busy loop' if busy else 'alone':<12} {shown:>10} "
                      f"{median:>14,.0f} {ratio:>11}")
    load = os.getloadavg()
    print(f"load average at end {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
