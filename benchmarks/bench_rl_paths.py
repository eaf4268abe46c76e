"""Steps per CPU-second of each library's rollout collection on the engine, measured in one
process, interleaved round by round, so that a busy machine slows every path alike.

    python benchmarks/bench_rl_paths.py [--games 32] [--rounds 5] [--steps 2048]

Paths, all with 32 games against three `random` agents (self-play: four seats of the module) and
a net of the same width (`PolicyNet`, 16 channels), torch on one thread:
- make_vec: `tavrin_rl.gym.make_vec` stepping uniformly random legal actions (no net: the ceiling);
- sb3: MaskablePPO + `GridPolicy`, `collect_rollouts` (its rollout collection, no update);
- rllib-single: RLlib's env runner on `tavrin_rl.rllib_vector.single_agent` (`sample`);
- rllib-self-play: RLlib's multi-agent env runner on `self_play` (`sample`, agent steps).
Each round times `--steps` steps of every path in process CPU time; the table gives the median
over rounds and each path's ratio to sb3. Needs torch, sb3-contrib and ray[rllib].
"""

from __future__ import annotations

import argparse
import logging
import statistics
import time
from typing import Any, Callable

import torch


def make_vec_path(games: int) -> Callable[[int], int]:
    from tavrin_rl.gym import make_vec
    env = make_vec(games, seat="random", opponents="random", seed=0, threads=1)
    env.reset()

    def run(steps: int) -> int:
        for _ in range(steps // games):
            env.step(env.sample_legal_actions())
        return steps // games * games
    return run


def sb3_path(games: int) -> Callable[[int], int]:
    from sb3_contrib import MaskablePPO

    from tavrin_rl.sb3 import GridPolicy, make_vec_env
    env = make_vec_env(games, seat="random", opponents="random", seed=0, threads=1)
    model = MaskablePPO(GridPolicy, env, n_steps=64, batch_size=512, gamma=1.0, seed=0, verbose=0)
    _, callback = model._setup_learn(10**9, None)
    callback.on_training_start(locals(), globals())

    def run(steps: int) -> int:
        n = max(steps // games, 1)
        model.rollout_buffer.buffer_size = n
        model.rollout_buffer.reset()
        model.collect_rollouts(model.env, callback, model.rollout_buffer, n_rollout_steps=n)
        return n * games
    return run


def rllib_path(games: int, self_playing: bool) -> Callable[[int], int]:
    from ray.rllib.algorithms.ppo import PPOConfig

    from tavrin_rl.rllib_vector import self_play, single_agent
    base = (PPOConfig().env_runners(num_env_runners=0)  # type: ignore[no-untyped-call]
            .training(use_kl_loss=False).debugging(seed=0))
    config = self_play(base, num_envs=games) if self_playing else single_agent(
        base, num_envs=games, seed=0)
    algo: Any = config.build_algo()
    runner = algo.env_runner

    def run(steps: int) -> int:
        episodes = runner.sample(num_timesteps=steps)
        return sum(e.agent_steps() if self_playing else len(e) for e in episodes)
    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=32)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--steps", type=int, default=2048)
    args = parser.parse_args()
    torch.set_num_threads(1)
    import ray
    ray.init(include_dashboard=False, logging_level=logging.ERROR, num_cpus=1)
    paths = {"make_vec": make_vec_path(args.games), "sb3": sb3_path(args.games),
             "rllib-single": rllib_path(args.games, False),
             "rllib-self-play": rllib_path(args.games, True)}
    for run in paths.values():  # warm up: first forward passes, first resets
        run(args.games * 4)
    rates: dict[str, list[float]] = {name: [] for name in paths}
    for round_number in range(args.rounds):
        for name, run in paths.items():
            start = time.process_time()
            steps = run(args.steps)
            rates[name].append(steps / (time.process_time() - start))
        print(f"round {round_number + 1}: " + ", ".join(
            f"{name} {rates[name][-1]:,.0f}" for name in paths), flush=True)
    sb3 = statistics.median(rates["sb3"])
    print(f"\nsteps per CPU-second, {args.games} games, median of {args.rounds} rounds")
    print("| path | steps per CPU-second | vs sb3 |\n|---|---|---|")
    for name, values in rates.items():
        median = statistics.median(values)
        print(f"| {name} | {median:,.0f} | {median / sb3:.2f}x |")
    ray.shutdown()


if __name__ == "__main__":
    main()
