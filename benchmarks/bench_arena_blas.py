"""The arena's CPU per baseline move, with the net in numpy at numpy's default BLAS threads, in
numpy at one BLAS thread, and in the engine (what the arena plays).

BLAS libraries start a pool of threads in every process and let them spin between calls: in the
arena's worker processes, one per CPU, the numpy net then paid for threads that only competed
with the other workers. The figure is the process's CPU time (every thread's) over whole games of
the baseline against three random seats, divided by the baseline's moves; the three ways run
interleaved, round by round, and the medians are printed with their ratios to the engine's.

    python benchmarks/bench_arena_blas.py [--games 4] [--rounds 5]
"""

from __future__ import annotations

import argparse
import statistics
import time
from typing import Any

import numpy as np

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents import Stream, make_agent, pass_turns
from tavrin_rl.agents.net import Policy, baseline_path, position_arrays, segment_argmax


class NumpyBaseline:
    """The baseline evaluated by the numpy forward pass (the engine's reference)."""

    def __init__(self, policy: Policy) -> None:
        self.policy = policy

    def act(self, _: Any, game: PyTavrin) -> int:
        board, extras, mask = position_arrays(game)
        legal = np.flatnonzero(mask)
        segment = np.zeros(legal.size, np.intp)
        logits = self.policy.reference_logits(board, extras, segment, legal)
        return int(legal[segment_argmax(logits, segment, 1)[0]])


def cpu_per_move(baseline: Any, games: int, seed: int) -> float:
    """Process CPU seconds per baseline move over `games` games against three random seats."""
    moves = 0
    started = time.process_time()
    for number in range(games):
        game = PyTavrin()
        others = [make_agent("random") for _ in range(3)]
        for agent in others:
            agent.stream = Stream.for_game(seed, number)
        while True:
            pass_turns(game)
            if game.is_over:
                break
            seat = game.agent_selection
            if seat == number % 4:
                action = baseline.act(None, game=game)
                moves += 1
            else:
                action = others[(seat - number) % 4 - 1].act(None, game=game)
            game.step(action)
    return (time.process_time() - started) / max(moves, 1)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    from threadpoolctl import threadpool_info, threadpool_limits
    default_threads = max((pool["num_threads"] for pool in threadpool_info()
                           if pool["user_api"] == "blas"), default=1)
    numpy_net = NumpyBaseline(Policy.load(baseline_path()))
    engine_net = make_agent("baseline")
    times: dict[str, list[float]] = {}
    ways = {f"numpy net, {default_threads} BLAS threads (numpy's default)": (numpy_net, None),
            "numpy net, 1 BLAS thread": (numpy_net, 1),
            "engine net (the arena today)": (engine_net, None)}
    for round_ in range(args.rounds):
        for name, (agent, limit) in ways.items():
            with threadpool_limits(limits=limit, user_api="blas"):
                times.setdefault(name, []).append(cpu_per_move(agent, args.games, round_))
    engine = statistics.median(times["engine net (the arena today)"])
    print(f"CPU per baseline move, median of {args.rounds} interleaved rounds of {args.games} "
          "games against three random seats (process CPU, every thread):")
    for name, values in times.items():
        median = statistics.median(values)
        print(f"  {name:48s} {1000 * median:7.2f} ms  ({median / engine:5.1f}x the engine's)")


if __name__ == "__main__":
    main()
