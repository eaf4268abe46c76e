"""The engine's seats and the vector environment, against an older build of the package.

    python benchmarks/bench_agents.py [--base PYTHON] [--rounds 5] [--seconds 2]

Rows, each a median of interleaved rounds of CPU time (threads included), in one script:
- a ply of a `reach` seat against a `random` one in `VectorGames` (every seat played by the
  engine, 256 games played out in C++);
- `make_vec(64)`, plies (placements by any seat) per CPU-second, this build with `reach`
  opponents against PYTHON's build with `random` opponents, at default threads and one thread;
- writing a dataset (greedy, random, reach, random; one worker), games per CPU-second.

PYTHON is an interpreter whose environment has an older build of tavrin_rl installed (for
example a venv with `pip install .` of an earlier commit); without it, only this build's rows.
Each measurement runs in a fresh subprocess, alternating builds, so both see the same machine.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

VEC = r'''
import json, sys, time, warnings
import numpy as np
warnings.simplefilter("ignore")
from tavrin_rl.gym import make_vec
opponents, threads, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
kwargs = {} if threads == "default" else {"threads": int(threads)}
env = make_vec(64, seat="random", opponents=opponents, seed=0, **kwargs)
obs, _ = env.reset(seed=0)
placed = lambda o: 84 - o["pieces"].reshape(64, -1).sum(1).astype(np.int64)
last, plies = placed(obs), 0
start = time.process_time()
while time.process_time() - start < seconds:
    obs, _, term, _, info = env.step(env.sample_legal_actions())
    if "final_obs" in info:  # same-step autoreset: the ended game's last view is apart
        for i in np.flatnonzero(term):
            plies += int(84 - info["final_obs"][i]["pieces"].sum()) - int(last[i])
            last[i] = 0
    now = placed(obs)
    restarted = now < last  # next-step autoreset: the game began anew on this step
    last[restarted] = 0
    plies += int((now - last).sum())
    last = now
print(json.dumps(plies / (time.process_time() - start)))
'''

DATA = r'''
import json, resource, shutil, sys, tempfile, time
from pathlib import Path
from tavrin_rl import data
games = int(sys.argv[1])
def cpu():
    own, kids = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime
folder = Path(tempfile.mkdtemp()) / "d"
start = cpu()
data.write_dataset(folder, games, ("greedy", "random", "reach", "random"), seed=1, workers=1)
print(json.dumps(games / (cpu() - start)))
shutil.rmtree(folder.parent)
'''

SEATS = r'''
import json, sys, time
import numpy as np
from tavrin_rl.vector import VectorGames
policy, rounds = sys.argv[1], int(sys.argv[2])
games = VectorGames(256, threads=1, observation=None, mask=False, autoreset=False,
                    seats=(policy,) * 4, seed=0)
cpu = plies = 0
for r in range(rounds):
    start = time.process_time()
    games.reset(r)  # every game played out by the engine
    cpu += time.process_time() - start
    plies += sum(games.game(i).ply for i in range(256))
print(json.dumps(plies / cpu))
'''


def measure(python: str, script: str, *args: object) -> float:
    done = subprocess.run([python, "-c", script, *map(str, args)], capture_output=True, text=True,
                          timeout=900)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    return float(json.loads(done.stdout.strip().splitlines()[-1]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--base", help="an interpreter with the older build installed")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--games", type=int, default=20000, help="games per dataset write")
    args = parser.parse_args()
    here = sys.executable
    rows: dict[str, list[float]] = {}

    def add(name: str, value: float) -> None:
        rows.setdefault(name, []).append(value)

    for _ in range(args.rounds):
        add("seats: random plies/CPU-s", measure(here, SEATS, "random", 4))
        add("seats: reach plies/CPU-s", measure(here, SEATS, "reach", 4))
        for threads in ("default", "1"):
            add(f"make_vec(64) reach, threads={threads}",
                measure(here, VEC, "reach", threads, args.seconds))
            if args.base:
                add(f"base make_vec(64) random, threads={threads}",
                    measure(args.base, VEC, "random", threads, args.seconds))
        add("dataset games/CPU-s", measure(here, DATA, args.games))
        if args.base:
            add("base dataset games/CPU-s", measure(args.base, DATA, args.games))
    med = {name: statistics.median(values) for name, values in rows.items()}
    print(f"{'row':<44} {'median':>12}")
    for name, value in med.items():
        print(f"{name:<44} {value:>12,.0f}")
    print(f"reach ply costs {med['seats: random plies/CPU-s'] / med['seats: reach plies/CPU-s']:.2f}x a random ply")
    if args.base:
        for threads in ("default", "1"):
            ratio = med[f"make_vec(64) reach, threads={threads}"] / med[f"base make_vec(64) random, threads={threads}"]
            print(f"make_vec(64) threads={threads}: {ratio:.1f}x the base's plies per CPU-second")
        print(f"dataset: {med['dataset games/CPU-s'] / med['base dataset games/CPU-s']:.1f}x the base's games per CPU-second")
    print(f"medians of {args.rounds} interleaved rounds")


if __name__ == "__main__":
    main()
