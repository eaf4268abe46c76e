"""Learner steps per CPU second: the TorchRL environment on the batched engine against `make_vec`.

    python benchmarks/bench_torchrl.py [--envs 64] [--rounds 5] [--seconds 2]

Both play 64 games against three `random` opponents, one engine thread, actions drawn by the
engine's sampler: `make_vec(64)` steps with `sample_legal_actions()`; `tavrin_rl.torchrl.make_env(64)`
steps as TorchRL's collectors do (`env.random_policy`, then `step_and_maybe_reset`, TensorDicts and
partial resets included). A third row draws the actions with TorchRL's own masked `rand_action()`
instead, which samples over the 36,400 actions in torch. Figures are medians over interleaved
rounds of this process's CPU time; the ratio compares each row with `make_vec`. Needs torch and
torchrl (the `[integration]` extra).
"""

from __future__ import annotations

import argparse
import statistics
import time
import warnings
from collections.abc import Callable

import torch

from tavrin_rl.gym import make_vec
from tavrin_rl.torchrl import make_env


def gym_steps(envs: int) -> Callable[[float], tuple[int, float]]:
    env = make_vec(envs, seat="random", opponents="random", threads=1, seed=0)
    env.reset(seed=0)

    def run(seconds: float) -> tuple[int, float]:
        steps, start = 0, time.process_time()
        while time.process_time() - start < seconds:
            env.step(env.sample_legal_actions())
            steps += 1
        return steps * envs, time.process_time() - start
    return run


def torchrl_steps(envs: int, torch_draw: bool) -> Callable[[float], tuple[int, float]]:
    env = make_env(envs, seat="random", opponents="random", threads=1, seed=0)
    state = {"td": env.reset()}

    def run(seconds: float) -> tuple[int, float]:
        steps, start = 0, time.process_time()
        td = state["td"]
        while time.process_time() - start < seconds:
            td = env.rand_action(td) if torch_draw else env.random_policy(td)
            _, td = env.step_and_maybe_reset(td)
            steps += 1
        state["td"] = td
        return steps * envs, time.process_time() - start
    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--envs", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()
    if args.envs < 1 or args.rounds < 1 or not args.seconds > 0:
        parser.error("--envs and --rounds must be at least 1, --seconds positive")
    warnings.simplefilter("ignore")
    torch.set_num_threads(1)
    runs = {
        f"make_vec({args.envs}), engine sampler": gym_steps(args.envs),
        f"torchrl make_env({args.envs}), engine sampler": torchrl_steps(args.envs, False),
        f"torchrl make_env({args.envs}), masked rand_action()": torchrl_steps(args.envs, True),
    }
    rates: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(args.rounds):
        for name, run in runs.items():
            steps, cpu = run(args.seconds)
            rates[name].append(steps / cpu)
    base = statistics.median(rates[next(iter(runs))])
    print(f"{'environment':<48} {'learner steps/s (CPU)':>22} {'ratio':>7}")
    for name, values in rates.items():
        rate = statistics.median(values)
        print(f"{name:<48} {rate:>22,.0f} {rate / base:>6.2f}x")
    print(f"medians of {args.rounds} interleaved rounds of {args.seconds:g} s of CPU each; "
          f"a step is one learner placement in one game")


if __name__ == "__main__":
    main()
