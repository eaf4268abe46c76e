"""PPO with RLlib on the batched engine: the learner's seat in 32 games against three `random`
agents played in C++ (`tavrin_rl.rllib_vector.single_agent`), or self-play with one module for
all four seats (`--self-play`). The module evaluates its net at the legal placements only.
Before and after training the policy (its most likely legal placement) plays `--eval-games`
games against three `random` agents on held-out seeds, its seat rotating; a random player wins
25%.

    pip install '.[rllib]'          # in the clone; see the docs on torch's CPU build
    python examples/rllib_ppo.py --cpu-minutes 7 --eval-games 1000 [--save PATH]

With --save, the trained policy is written as a policy file, which plays without torch or Ray:
`python -m tavrin_rl --agents policy:PATH,random,random,random`.

Why these settings: one iteration is 2,048 env steps (32 games x 64 steps) and 3 epochs of
minibatches of 512, a few CPU-seconds, so that `train()` returns within seconds even on a busy
2-core machine (PPO's defaults, 4,000 steps and 30 epochs on 2 env runners, take minutes per
iteration there, and a runner slower than `sample_timeout_s` has its samples dropped). Sampling
runs in the driver (`num_env_runners=0`): the engine already steps 32 games per call, and on
2 cores a runner process would only compete with the learner. torch runs one thread.
"""

from __future__ import annotations

import argparse
import logging
import time
from typing import Any

import numpy as np
import ray
import torch
from ray.rllib.algorithms.ppo import PPOConfig

from tavrin_rl._summary import wilson_interval
from tavrin_rl.agents.evaluate import play_games
from tavrin_rl.distributions import LegalCategorical
from tavrin_rl.rllib_vector import SHARED_POLICY, self_play, single_agent

SEED = 0
NUM_ENVS = 32
BATCH = 2048             # env steps per iteration
MINIBATCH = 512
EPOCHS = 3
LEARNING_RATE = 1e-3
ENTROPY_COEF = 0.01
CHANNELS = 16


def build(self_playing: bool, runners: int) -> Any:
    config = (
        PPOConfig()  # type: ignore[no-untyped-call]
        .env_runners(num_env_runners=runners, sample_timeout_s=120)
        .training(train_batch_size_per_learner=BATCH, minibatch_size=MINIBATCH,
                  num_epochs=EPOCHS, lr=LEARNING_RATE, entropy_coeff=ENTROPY_COEF,
                  gamma=1.0, lambda_=0.95, use_kl_loss=False)
        .debugging(seed=SEED)
    )
    if self_playing:
        config = self_play(config, num_envs=NUM_ENVS, channels=CHANNELS)
    else:
        config = single_agent(config, num_envs=NUM_ENVS, channels=CHANNELS,
                              opponents="random", reward_mode="rank", seed=SEED)
    return config.build_algo()


def win_rate(algo: Any, self_playing: bool, games: int) -> tuple[float, float, float]:
    """The win share of the greedy policy against three random agents, and its interval."""
    module = algo.get_module(SHARED_POLICY) if self_playing else algo.get_module()
    net = module.net

    def choose(board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
               legal: np.ndarray) -> np.ndarray:
        with torch.no_grad():
            logits, _ = net(torch.from_numpy(board), torch.from_numpy(extras),
                            torch.from_numpy(segment), torch.from_numpy(legal))
            picks: np.ndarray = LegalCategorical(logits, segment, legal, len(board)).mode().numpy()
        return picks

    result = play_games(choose, ("random",) * 3, games, seed=1_000_000)
    low, high = wilson_interval(result.wins, result.games)
    return result.win_share, low, high


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cpu-minutes", type=float, default=5.0, help="training budget")
    parser.add_argument("--runners", type=int, default=0, help="env runner processes")
    parser.add_argument("--self-play", action="store_true")
    parser.add_argument("--eval-games", type=int, default=200)
    parser.add_argument("--save", metavar="PATH", help="write the trained policy as a policy file")
    parser.add_argument("--address", help="a Ray cluster to join (\"auto\", or host:port of its "
                        "head); default: a local Ray")
    args = parser.parse_args()

    torch.set_num_threads(1)
    ray.init(address=args.address, include_dashboard=False, logging_level=logging.ERROR)
    algo = build(args.self_play, args.runners)
    share, low, high = win_rate(algo, args.self_play, args.eval_games)
    print(f"before training: {share:.1%} ({low:.1%}-{high:.1%}) vs three random")
    cpu, wall = time.process_time(), time.perf_counter()
    iteration = 0
    # CPU of this process: the driver samples and learns (with --runners, add theirs)
    while time.process_time() - cpu < 60 * args.cpu_minutes:
        started = time.perf_counter()
        result = algo.train()
        iteration += 1
        runners = result["env_runners"]
        print(f"iteration {iteration}: {runners['num_env_steps_sampled_lifetime']:.0f} steps, "
              f"{time.perf_counter() - started:.1f} s wall, "
              f"{time.process_time() - cpu:.0f} CPU-s so far, mean return "
              f"{runners.get('episode_return_mean', float('nan')):.3f}", flush=True)
    print(f"trained {iteration} iterations in {time.process_time() - cpu:.0f} CPU-s "
          f"({time.perf_counter() - wall:.0f} s wall)")
    share, low, high = win_rate(algo, args.self_play, args.eval_games)
    print(f"after training: {share:.1%} ({low:.1%}-{high:.1%}) over {args.eval_games} games vs "
          f"three random, seats rotated, held-out seeds (a random player: 25%)")
    if args.save:
        module = algo.get_module(SHARED_POLICY) if args.self_play else algo.get_module()
        module.save_policy(args.save, iterations=iteration)
        print(f"policy written to {args.save} (plays as --agents policy:{args.save})")
    algo.stop()
    ray.shutdown()


if __name__ == "__main__":
    main()
