"""PPO with action masking on tavrin_rl's RLlib environment: one policy shared by the four seats
learns by self-play, sampled by two env runners. Before and after training, the policy (its most
likely legal move) plays games against three `random` agents, in each seat in turn; the win
rate of a random player there is 25%.

    pip install '.[rllib]'          # in the clone; see the docs on torch's CPU build
    python examples/rllib_ppo.py [--iterations 4] [--batch 2000] [--eval-games 40] [--save PATH]

With --save, the trained policy is written as a policy file, which plays without torch or Ray:
`python -m tavrin_rl --agents policy:PATH,random,random,random`.

Figures from one run on a busy 2-core machine (about 13 minutes with the defaults) are in the
documentation, docs/training.md.
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
from ray.rllib.core.columns import Columns
from ray.rllib.utils.metrics import ENV_RUNNER_RESULTS, NUM_ENV_STEPS_SAMPLED_LIFETIME

from tavrin_rl.rllib import (
    AGENT_IDS, SHARED_POLICY, TavrinMultiAgentEnv, shared_module, shared_policy,
)


def build(batch: int, runners: int) -> Any:
    # the policy is tavrin_rl.rllib_module.MaskedGridModule, the package's torch net: convolutions
    # whose last layer is the action grid, with the illegal placements masked
    config = (
        PPOConfig()  # type: ignore[no-untyped-call]
        .environment(TavrinMultiAgentEnv, env_config={"reward_mode": "win_share"})
        .env_runners(num_env_runners=runners, num_envs_per_env_runner=1)
        .multi_agent(**shared_policy())
        .rl_module(rl_module_spec=shared_module(channels=16))
        .training(train_batch_size_per_learner=batch, minibatch_size=min(batch, 500),
                  num_epochs=2, lr=3e-4, entropy_coeff=0.0)
    )
    return config.build_algo()


def win_rate(algo: Any, games: int, seed: int) -> float:
    """Mean win share of the policy against three random agents, its seat rotating."""
    module = algo.get_module(SHARED_POLICY)
    wins = 0.0
    for number in range(games):
        seat = number % 4
        env = TavrinMultiAgentEnv({"opponents": {s: "random" for s in range(4) if s != seat}})
        observations, _ = env.reset(seed=seed + number)
        while True:
            (agent, seen), = observations.items()
            batch = {Columns.OBS: {key: torch.from_numpy(value)[None]
                                   for key, value in seen.items()}}
            with torch.no_grad():
                logits = module.forward_inference(batch)[Columns.ACTION_DIST_INPUTS]
            action = int(logits[0].argmax())
            observations, rewards, terminated, _, _ = env.step({agent: action})
            if terminated["__all__"]:
                wins += rewards[AGENT_IDS[seat]]
                break
    return wins / games


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=4)
    parser.add_argument("--batch", type=int, default=2000, help="env steps per iteration")
    parser.add_argument("--runners", type=int, default=2, help="env runners")
    parser.add_argument("--eval-games", type=int, default=40)
    parser.add_argument("--save", metavar="PATH", help="write the trained policy as a policy file")
    args = parser.parse_args()

    ray.init(include_dashboard=False, logging_level=logging.ERROR)
    algo = build(args.batch, args.runners)
    before = win_rate(algo, args.eval_games, seed=10_000)
    print(f"win rate against random before training: {100 * before:.1f}%")
    started = time.perf_counter()
    for iteration in range(1, args.iterations + 1):
        result = algo.train()
        steps = result[ENV_RUNNER_RESULTS][NUM_ENV_STEPS_SAMPLED_LIFETIME]
        seconds = time.perf_counter() - started
        timers = result.get("timers", {})
        print(f"iteration {iteration}: {steps:.0f} env steps, {steps / seconds:,.1f} steps/s "
              f"overall; this iteration sampled for "
              f"{timers.get('env_runner_sampling_timer', 0):.1f} s and learned for "
              f"{timers.get('learner_update_timer', 0):.1f} s")
    after = win_rate(algo, args.eval_games, seed=10_000)
    print(f"win rate against random after {args.iterations} iterations ({steps:.0f} env steps): "
          f"{100 * after:.1f}% (before: {100 * before:.1f}%, a random player: 25%)")
    if args.save:
        algo.get_module(SHARED_POLICY).save_policy(args.save, iterations=args.iterations)
        print(f"policy written to {args.save} (plays as --agents policy:{args.save})")
    algo.stop()
    ray.shutdown()


if __name__ == "__main__":
    main()
