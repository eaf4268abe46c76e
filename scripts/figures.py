"""Every figure the README and the docs publish, with the command and seed that give it, and a
check that reruns it.

    python scripts/figures.py list                 # the figures, their cost, which CI checks
    python scripts/figures.py show NAME            # one figure's commands
    python scripts/figures.py check --cheap        # what CI runs (about 17 s of CPU)
    python scripts/figures.py check NAME [NAME..]  # rerun some figures
    python scripts/figures.py check --all          # every figure (hours of CPU: see `list`)

What a check asks depends on the figure:

* **Seeded games between fixed agents** (the shipped baseline, the search, the replay's game, the
  ladder) reproduce exactly: the same wins to the last half game, the same scores, the same
  order. A change to the engine or to an agent that changes a game fails here, and the figure
  and its picture are then remade (`scripts/pictures.py`) with the docs' text.
* **CPU-budgeted training** cannot repeat exactly (how many updates fit in the budget depends on
  the machine's speed): the rerun's win share, with its 95% interval, must overlap the
  published interval.
* **Speed** is measured again as ratios between paths timed in interleaved rounds of the same
  process, which a shared machine's load changes far less than absolute rates; a ratio must come
  within a third of the published one. Heavy load still moves them (the batched engine loses
  more to other processes evicting its caches than the Python loop does: 33× fell to 12× at a
  load average of 10 on 2 CPUs), so the check is skipped, saying why, when the load average is
  above half the CPUs when it starts or this process got under 90% of a CPU while timing.

Strength figures cover at least 3,000 games over seeds 100 to 102, seeds that chose nothing:
no run, checkpoint or setting was picked by its result on them.
"""

from __future__ import annotations

import argparse
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "benchmarks"))  # bench_mcts and perf_table: sibling scripts

PYTHON = sys.executable
SEEDS = (100, 101, 102)  # the seeds of every strength figure: used to choose nothing
BASELINE = "src/tavrin_rl/baseline/baseline.npz"


@dataclass
class Figure:
    name: str
    where: str        # the pages that publish it
    text: str         # the figure as published
    commands: list[str]
    cost: str         # CPU time to check it, on the shared 2-core development machine
    check: Callable[["Figure"], str] | None  # returns what it found; raises Failed
    ci: bool = False
    record: dict[str, object] = field(default_factory=dict)


class Failed(Exception):
    """The figure did not reproduce."""


class Skipped(Exception):
    """The figure cannot be measured fairly here now (the reason is the message)."""


def wilson(wins: float, games: int) -> tuple[float, float]:
    from tavrin_rl._summary import wilson_interval
    return wilson_interval(wins, games)


def share(wins: float, games: int) -> str:
    low, high = wilson(wins, games)
    return f"{100 * wins / games:.1f}% ({100 * low:.1f}–{100 * high:.1f}%) of {games:,} games"


# ---- seeded games ---------------------------------------------------------------------------

def check_baseline(figure: Figure) -> str:
    """The shipped net against three engine agents, 1,000 games at each seed, exactly."""
    from tavrin_rl.evaluate import evaluate
    opponent = str(figure.record["opponent"])
    wins = {}
    for seed in SEEDS:
        # to the hundredth: ties split three ways add up in floating point
        wins[seed] = round(evaluate(ROOT / BASELINE, [opponent] * 3, 1000, seed).wins, 2)
    if wins != figure.record["wins"]:
        raise Failed(f"wins by seed {wins}, recorded {figure.record['wins']}")
    return share(sum(wins.values()), 1000 * len(SEEDS))


def check_mcts(figure: Figure) -> str:
    """The default search against three reach, 1,000 games at each seed (bench_mcts.py)."""
    import bench_mcts  # type: ignore[import-not-found]
    from tavrin_rl.agents import DEFAULT_PLAYOUTS
    wins, shares = 0.0, {}
    for seed in SEEDS:
        won = bench_mcts.play_games(1000, f"mcts:{DEFAULT_PLAYOUTS}:reach", seed)[0]
        wins += won
        shares[seed] = f"{won / 1000:.1%}"  # as the benchmark prints it
    if shares != figure.record["shares"]:
        raise Failed(f"win shares by seed {shares}, recorded {figure.record['shares']}")
    return share(wins, 1000 * len(SEEDS))


def check_replay_game(figure: Figure) -> str:
    """The game behind docs/replay.png and docs/board.svg ends as recorded."""
    done = subprocess.run([PYTHON, "-m", "tavrin_rl", "--seed", "7"], capture_output=True,
                          text=True, timeout=300, check=True)
    scores = [int(s) for s in re.findall(r"^player_\d +\w+ +\w+ +\d+ +(-?\d+) ", done.stdout,
                                         re.M)]
    plies = int(re.search(r"^(\d+) plies in", done.stdout, re.M)[1])  # type: ignore[index]
    found = {"scores": scores, "plies": plies}
    if found != figure.record:
        raise Failed(f"the game ends with {found}, recorded {figure.record}: remake the "
                     "pictures (python scripts/pictures.py) and the docs' captions")
    return f"scores {scores} after {plies} plies"


def check_ladder(figure: Figure) -> str:
    """The arena's ranking of the built-in agents holds, in the order published."""
    done = subprocess.run([PYTHON, "-m", "tavrin_rl", "arena", "random", "greedy", "reach",
                           "mcts:50", "mcts:200", "--games", "400", "--seed", "2",
                           "--no-progress"], capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        raise Failed(f"the arena failed: {done.stderr.strip()[-300:]}")
    order = re.findall(r"^ *\d+ (\S+) +-?\d", done.stdout, re.M)
    if order != figure.record["order"]:
        raise Failed(f"order {order}, published {figure.record['order']}")
    return " > ".join(order)


# ---- training --------------------------------------------------------------------------------

def check_scratch(figure: Figure) -> str:
    """Train from scratch for the stated CPU budget at seed 100, evaluate over the three seeds,
    and compare with the published interval."""
    from tavrin_rl.evaluate import evaluate
    opponent = str(figure.record["opponent"])
    low, high = figure.record["interval"]  # type: ignore[misc]
    with tempfile.TemporaryDirectory() as folder:
        run = Path(folder) / "scratch"
        subprocess.run([PYTHON, "-m", "tavrin_rl", "train", "--out", str(run), "--opponents",
                        opponent, "--cpu-minutes", str(figure.record["minutes"]), "--seed",
                        str(SEEDS[0]), "--no-progress"], check=True, timeout=6 * 3600,
                       stdout=subprocess.DEVNULL)
        wins = sum(evaluate(run / "policy.npz", [opponent] * 3, 1000, seed).wins
                   for seed in SEEDS)
    games = 1000 * len(SEEDS)
    lo, hi = wilson(wins, games)
    if hi < low or lo > high:
        raise Failed(f"{share(wins, games)} misses the published {100 * low:.1f}–"
                     f"{100 * high:.1f}%")
    return share(wins, games)


# ---- speed -----------------------------------------------------------------------------------

def check_speed(figure: Figure) -> str:
    """The batched engine's rates as multiples of the per-ply Python loop (benchmarks/perf_table.py's
    interleaved rounds, CPU time)."""
    import perf_table  # type: ignore[import-not-found]
    cpus = perf_table.available_cpus()
    load = os.getloadavg()[0]
    if load > max(1.0, cpus / 2):
        raise Skipped(f"load average {load:.1f} on {cpus} CPUs: the published ratios are for a "
                      "machine with at most half its CPUs busy")
    rows = perf_table.python_rows(256, 5, 0.5)
    # one thread each: plies per wall second over plies per CPU second is the share of a CPU the
    # loop got; under it, other processes ran on this one's CPU between its timings
    share_of_cpu = min(wall / cpu for name, wall, cpu in rows if "2 threads" not in name)
    if share_of_cpu < 0.9:
        raise Skipped(f"this process got {100 * share_of_cpu:.0f}% of a CPU while timing "
                      f"(load average {os.getloadavg()[0]:.1f} on {cpus} CPUs)")
    base = rows[0][2]
    found = []
    for wanted, published in figure.record["ratios"].items():  # type: ignore[attr-defined]
        cpu = next(cpu for name, _, cpu in rows if name.endswith(wanted))
        ratio = cpu / base
        found.append(f"{wanted}: {ratio:.1f}× (published {published}×)")
        if not published / 1.5 <= ratio <= published * 1.5:
            raise Failed(found[-1])
    return "; ".join(found)


SEEDS_TEXT = "seeds 100, 101 and 102, 1,000 games each"

FIGURES = [
    Figure(
        "replay-game", "README, docs/index.md, docs/getting-started.md, docs/game.md",
        "docs/replay.png and docs/board.svg: the game of seed 7 (final scores 15, -52, 20, -38)",
        ["python -m tavrin_rl --seed 7 --html game.html"],
        "1 s", check_replay_game, ci=True,
        record={"scores": [15, -52, 20, -38], "plies": 65}),
    Figure(
        "ladder", "README, docs/agents.md",
        "docs/ladder.svg: mcts:200 > mcts:50 > reach > greedy > random",
        ["python -m tavrin_rl arena random greedy reach mcts:50 mcts:200 --games 400 --seed 2 "
         "--svg ladder.svg"],
        "25 s", check_ladder, ci=True,
        record={"order": ["mcts:200", "mcts:50", "reach", "greedy", "random"]}),
    Figure(
        "baseline-vs-greedy", "README, docs/training.md",
        "the shipped baseline wins 80.5% (79.0–81.8%) of 3,000 games against three greedy",
        [f"python -m tavrin_rl train --evaluate {BASELINE} --opponents greedy --eval-games 1000 "
         f"--seed {s}" for s in SEEDS],
        "3 × 2 s", check_baseline,
        record={"opponent": "greedy", "wins": {100: 812.33, 101: 811.33, 102: 790.17}}),
    Figure(
        "baseline-vs-reach", "README, docs/training.md",
        "the shipped baseline wins 47.5% (45.7–49.3%) of 3,000 games against three reach",
        [f"python -m tavrin_rl train --evaluate {BASELINE} --opponents reach --eval-games 1000 "
         f"--seed {s}" for s in SEEDS],
        "3 × 2 s", check_baseline,
        record={"opponent": "reach", "wins": {100: 488.17, 101: 457.0, 102: 478.83}}),
    Figure(
        "baseline-vs-random", "docs/training.md",
        "the shipped baseline wins 99.8% (99.5–99.9%) of 3,000 games against three random",
        [f"python -m tavrin_rl train --evaluate {BASELINE} --opponents random --eval-games 1000 "
         f"--seed {s}" for s in SEEDS],
        "3 × 2 s", check_baseline,
        record={"opponent": "random", "wins": {100: 996.5, 101: 997.0, 102: 999.0}}),
    Figure(
        "baseline-vs-mcts", "docs/training.md",
        "the shipped baseline wins 11.2% (10.1–12.4%) of 3,000 games against three mcts",
        [f"python -m tavrin_rl train --evaluate {BASELINE} --opponents mcts --eval-games 1000 "
         f"--seed {s}" for s in SEEDS],
        "3 × 3 min", check_baseline,
        record={"opponent": "mcts", "wins": {100: 118.0, 101: 107.5, 102: 111.0}}),
    Figure(
        "mcts-vs-reach", "README, docs/agents.md",
        "the default mcts wins 93.4% (92.4–94.2%) of 3,000 games against three reach, "
        "0.93 ms of CPU per move",
        [f"python benchmarks/bench_mcts.py --games 1000 --seed {s}" for s in SEEDS],
        "1 min", check_mcts,
        record={"shares": {100: "93.3%", 101: "93.8%", 102: "93.0%"}}),
    Figure(
        "scratch-vs-random", "README, docs/training.md",
        "trained from scratch against random for 3 CPU-minutes (seed 100): 96.5% (95.8–97.1%) of 3,000 "
        "games against three random",
        ["python -m tavrin_rl train --out scratch --opponents random --cpu-minutes 3 --seed 100"]
        + [f"python -m tavrin_rl train --evaluate scratch/policy.npz --opponents random "
           f"--eval-games 1000 --seed {s}" for s in SEEDS],
        "4 min", check_scratch,
        record={"opponent": "random", "minutes": 3, "interval": (0.958, 0.971)}),
    Figure(
        "speed", "README, docs/performance.md",
        "the batched engine, one thread: 4.0× the Python loop with full observations and masks, "
        "33× with neither (plies per CPU-second)",
        ["bash scripts/perf_table.sh"],
        "15 s", check_speed,
        record={"ratios": {"full observations and masks": 4.0,
                           "no observation or mask (moves sampled in C++)": 33.1}}),
    # Not rerun by this script: the runs cost more than a check can spend. Their commands are
    # on the pages that publish them.
    Figure(
        "scratch-vs-greedy", "README, docs/training.md",
        "trained from scratch against greedy for 5 CPU-minutes: 61.1% against three greedy "
        "(1,000 games, one run)",
        ["python -m tavrin_rl train --out scratch --opponents greedy --cpu-minutes 5"],
        "6 min per seed", None),
    Figure(
        "baseline-training", "README, docs/training.md, docs/baseline_curve.svg",
        "the shipped baseline itself (its learning curve)",
        ["python -m tavrin_rl --out mcts_games --games 10000 --agents mcts --seed 11 --workers 1",
         "python -m tavrin_rl train --out runs/base --seed 11 --clone mcts_games "
         "--clone-minutes 12 --cpu-minutes 12 --augment",
         "python -m tavrin_rl train --out runs/base --resume --opponents reach --cpu-minutes 24 "
         "--augment",
         "python -m tavrin_rl train --out runs/base --resume --opponents greedy,reach,reach "
         "--lr 5e-4 --cpu-minutes 34 --augment"],
        "58 min (11.4 for the games, 34 of training, evaluations)", None),
    Figure(
        "mcts-budgets", "docs/agents.md",
        "the search's budgets against reach and against mcts:120 (800 to 1,600 games each)",
        ["python benchmarks/bench_mcts.py --playouts 300 --games 800 --seed 0",
         "python benchmarks/bench_mcts.py --playouts 480 --opponent mcts:120 --games 800"],
        "about 40 min", None),
    Figure(
        "maskable-ppo", "docs/training.md",
        "MaskablePPO with GridPolicy on the batched engine (1,000 games per opponent, one run)",
        ["python examples/train_maskable_ppo.py --cpu-minutes 10 --eval-games 1000 "
         "--curve curve.csv"],
        "about 12 min (the integration extra)", None),
    Figure(
        "rllib-ppo", "docs/training.md", "PPO by self-play on RLlib (40 games)",
        ["python examples/rllib_ppo.py"], "13 min (the rllib extra)", None),
]
BY_NAME = {figure.name: figure for figure in FIGURES}


def cpu_seconds() -> float:
    """CPU time of this process and of the commands it ran."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="scripts/figures.py",
                                     description="Rerun the figures of the README and the docs.")
    sub = parser.add_subparsers(dest="action", required=True)
    sub.add_parser("list", help="every figure, its cost, and whether CI checks it")
    show = sub.add_parser("show", help="a figure's commands")
    show.add_argument("name", choices=list(BY_NAME))
    check = sub.add_parser("check", help="rerun figures and compare")
    check.add_argument("names", nargs="*", metavar="NAME")
    which = check.add_mutually_exclusive_group()
    which.add_argument("--cheap", action="store_true", help="the ones CI checks")
    which.add_argument("--all", action="store_true", help="every figure this script can rerun")
    args = parser.parse_args(argv)

    if args.action == "list":
        for figure in FIGURES:
            how = ("CI" if figure.ci else "rerun here" if figure.check else "not rerun here")
            print(f"{figure.name:20} {how:15} {figure.cost:>12}  {figure.text}")
        return 0
    if args.action == "show":
        figure = BY_NAME[args.name]
        print(f"# {figure.text} ({figure.where}; {figure.cost} of CPU)")
        print("\n".join(figure.commands))
        return 0
    unknown = [name for name in args.names if name not in BY_NAME]
    if unknown:
        parser.error(f"unknown figure {unknown[0]!r} (see: scripts/figures.py list)")
    if args.names and (args.cheap or args.all):
        parser.error("name figures or give --cheap or --all, not both")
    if args.names:
        chosen = [BY_NAME[name] for name in args.names]
    elif args.all:
        chosen = [f for f in FIGURES if f.check is not None]
    elif args.cheap:
        chosen = [f for f in FIGURES if f.ci]
    else:
        parser.error("name figures, or give --cheap or --all")
    costly = [f.name for f in chosen if f.check is None]
    if costly:
        parser.error(f"{', '.join(costly)}: too costly to rerun here; "
                     "`scripts/figures.py show NAME` gives the commands")
    failed = 0
    for figure in chosen:
        assert figure.check is not None
        started = cpu_seconds()
        try:
            found = figure.check(figure)
        except Failed as error:
            failed += 1
            print(f"FAIL {figure.name}: {error}")
            continue
        except Skipped as reason:
            print(f"skip {figure.name}: {reason}")
            continue
        print(f"ok   {figure.name}: {found} ({cpu_seconds() - started:.0f} CPU s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
