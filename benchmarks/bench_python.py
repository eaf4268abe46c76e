"""Speed of the engine as a Python training loop sees it.

Measures, each as the median of several runs of CPU time (the process's, so that other work on a
shared machine does not count):

* the play loop: ``observe(agent_selection)``, ``numpy.frombuffer`` of the action mask, a random
  legal index, ``step``; reported as placements (plies) per second and step calls per second,
  once with the mask read as uint8 and once as bool (numpy finds the nonzero bytes of a bool array
  several times faster, which shows in the whole loop);
* ``observe`` alone on a mid-game position, in microseconds per call;
* ``step`` alone (one legal placement on a fresh copy of a mid-game position), in microseconds.

Run with the interpreter that has ``tavrin_rl`` installed:

    python benchmarks/bench_python.py [--games 20] [--runs 5] [--seed 0]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np

from tavrin_rl._tavrin import PyTavrin

MID_GAME_PLY = 40


def play_game(rng: np.random.Generator, dtype: type) -> tuple[int, int]:
    """Plays one game of random legal moves; returns (placements, step calls)."""
    game = PyTavrin()
    steps = 0
    while not game.is_over:
        obs = game.observe(game.agent_selection)
        legal = np.flatnonzero(np.frombuffer(obs.action_mask, dtype=dtype))
        game.step(int(legal[rng.integers(legal.size)]) if legal.size else None)
        steps += 1
    return game.ply, steps


def mid_game(seed: int) -> PyTavrin:
    """A position from the middle of a random game, with the agent to move still playing."""
    rng = np.random.default_rng(seed)
    game = PyTavrin()
    while game.ply < MID_GAME_PLY or game.terminations[game.agent_selection]:
        obs = game.observe(game.agent_selection)
        legal = np.flatnonzero(np.frombuffer(obs.action_mask, dtype=np.uint8))
        game.step(int(legal[rng.integers(legal.size)]) if legal.size else None)
        if game.is_over:
            raise RuntimeError("the game ended before reaching the middle")
    return game


def bench_loop(games: int, runs: int, seed: int, dtype: type) -> tuple[float, float]:
    plies_per_s, steps_per_s = [], []
    for run in range(runs):
        rng = np.random.default_rng(seed + run)
        plies = steps = 0
        start = time.process_time()
        for _ in range(games):
            p, s = play_game(rng, dtype)
            plies += p
            steps += s
        elapsed = time.process_time() - start
        plies_per_s.append(plies / elapsed)
        steps_per_s.append(steps / elapsed)
    return statistics.median(plies_per_s), statistics.median(steps_per_s)


def bench_observe(game: PyTavrin, calls: int, runs: int) -> float:
    agent = game.agent_selection
    observe = game.observe
    per_call = []
    for _ in range(runs):
        start = time.process_time()
        for _ in range(calls):
            observe(agent)
        per_call.append((time.process_time() - start) / calls)
    return statistics.median(per_call) * 1e6


def bench_step(game: PyTavrin, calls: int, runs: int) -> float:
    legal = np.flatnonzero(np.frombuffer(game.observe(game.agent_selection).action_mask, dtype=np.uint8))
    actions = [int(a) for a in legal]
    per_call = []
    for _ in range(runs):
        # Copies made outside the timed loop: each step places one legal piece on a fresh game.
        copies = [game.copy() for _ in range(calls)]
        start = time.process_time()
        for i, g in enumerate(copies):
            g.step(actions[i % len(actions)])
        per_call.append((time.process_time() - start) / calls)
    return statistics.median(per_call) * 1e6


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=40, help="games per run of the play loop")
    parser.add_argument("--runs", type=int, default=5, help="runs per measurement (the median is reported)")
    parser.add_argument("--calls", type=int, default=2000, help="calls per run of observe and step")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    PyTavrin()  # build the placement catalogue before anything is timed
    loops = {name: bench_loop(args.games, args.runs, args.seed, dtype)
             for name, dtype in (("uint8", np.uint8), ("bool", np.bool_))}
    game = mid_game(args.seed)
    observe_us = bench_observe(game, args.calls, args.runs)
    step_us = bench_step(game, args.calls, args.runs)

    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, medians of {args.runs} runs")
    for name, (plies_s, steps_s) in loops.items():
        print(f"play loop (observe + frombuffer as {name} + random legal index + step): "
              f"{plies_s:,.0f} plies/s, {steps_s:,.0f} steps/s ({args.games} games per run)")
    print(f"observe, mid-game (ply {game.ply}): {observe_us:.2f} us")
    print(f"step, one legal placement, mid-game: {step_us:.2f} us")
    return 0


if __name__ == "__main__":
    sys.exit(main())
