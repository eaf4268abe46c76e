"""Plies per second through each environment, random legal play, interleaved rounds in one process.

    python benchmarks/bench_envs.py [rounds] [seconds per run]

Rows: the PettingZoo AEC env (`tavrin_rl.env()`, the mask read with `.view(bool)`, and as the
int8 array for comparison), the single-agent Gymnasium env (learner and random opponents), and the
vector env of 64 games on the batched engine (learner actions drawn in C++, random opponents in
C++, one and two engine threads). A ply is one placement by any seat. Figures are medians over the
rounds of CPU time of this process (threads included), so they hold on a busy machine; the
ratio column compares each row with the AEC env.
"""

from __future__ import annotations

import statistics
import sys
import time
import warnings
from collections.abc import Callable

import numpy as np

import tavrin_rl
from tavrin_rl.gym import SingleAgentEnv, make_vec

PLIES_PER_GAME = 84  # pieces in play; placed pieces = 84 - pieces still held


def aec(as_bool: bool) -> Callable[[float], tuple[int, float]]:
    env = tavrin_rl.env()
    rng = np.random.default_rng(0)

    def run(seconds: float) -> tuple[int, float]:
        plies, start = 0, time.process_time()
        while time.process_time() - start < seconds:
            env.reset()
            for _ in env.agent_iter():
                observation, _, termination, _, _ = env.last()
                if termination:
                    env.step(None)
                    continue
                mask = observation["action_mask"]
                legal = np.flatnonzero(mask.view(bool) if as_bool else mask)
                env.step(int(legal[rng.integers(legal.size)]))
            plies += env.unwrapped.game.ply
        return plies, time.process_time() - start
    return run


def single() -> Callable[[float], tuple[int, float]]:
    env = SingleAgentEnv(seat="random", opponents="random")
    rng = np.random.default_rng(0)

    def run(seconds: float) -> tuple[int, float]:
        plies, start, seed = 0, time.process_time(), 0
        while time.process_time() - start < seconds:
            env.reset(seed=seed)
            seed += 1
            terminated = False
            while not terminated:
                legal = np.flatnonzero(env.action_masks())
                _, _, terminated, _, _ = env.step(int(legal[rng.integers(legal.size)]))
            plies += env.game.ply
        return plies, time.process_time() - start
    return run


def vector(threads: int) -> Callable[[float], tuple[int, float]]:
    env = make_vec(64, seat="random", opponents="random", threads=threads, seed=0)
    observations, _ = env.reset(seed=0)
    # Placements are counted from the pieces every seat still holds. Next-step autoreset: a game
    # that ended returns its last view, and the step after starts it anew (from 84 pieces).
    state = {"held": observations["pieces"].sum(axis=(1, 2)), "restarting": np.zeros(64, bool)}

    def run(seconds: float) -> tuple[int, float]:
        start = time.process_time()
        plies = 0
        while time.process_time() - start < seconds:
            observations, _, terminations, _, _ = env.step(env.sample_legal_actions())
            held = observations["pieces"].sum(axis=(1, 2))
            plies += int(np.where(state["restarting"], PLIES_PER_GAME - held,
                                  state["held"] - held).sum())
            state["held"], state["restarting"] = held, terminations
        return plies, time.process_time() - start
    return run


def main() -> None:
    try:
        rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
        seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 2.0
    except ValueError:
        sys.exit("usage: bench_envs.py [rounds] [seconds per run]")
    if rounds < 1 or not seconds > 0:
        sys.exit("usage: bench_envs.py [rounds] [seconds per run]: at least 1 round, seconds > 0")
    warnings.simplefilter("ignore")
    runs = {
        "PettingZoo AEC env(), mask.view(bool)": aec(True),
        "PettingZoo AEC env(), int8 mask": aec(False),
        "SingleAgentEnv, random opponents": single(),
        "make_vec(64), 1 engine thread": vector(1),
        "make_vec(64), 2 engine threads": vector(2),
    }
    rates: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            plies, cpu = run(seconds)
            rates[name].append(plies / cpu)
    base = statistics.median(rates[next(iter(runs))])
    print(f"{'environment':<40} {'plies/s (CPU)':>14} {'ratio':>7}")
    for name, values in rates.items():
        rate = statistics.median(values)
        print(f"{name:<40} {rate:>14,.0f} {rate / base:>6.1f}x")
    print(f"medians of {rounds} interleaved rounds of {seconds:g} s of CPU each")


if __name__ == "__main__":
    main()
