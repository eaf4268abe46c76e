"""The environment's share of a MaskablePPO training step on the SB3 VecEnv.

    python benchmarks/bench_sb3.py [--envs 64] [--iterations 3]

MaskablePPO with the example's policy (`examples/train_maskable_ppo.py`: `tavrin_rl.sb3.GridPolicy`),
`n_steps=64`, `batch_size=512`, one torch thread, on
`tavrin_rl.sb3.make_vec_env(envs, seat="random", opponents="reach")`. The environment's calls
(`step_wait`, `reset`, and the masks MaskablePPO asks for) are timed in CPU time; the share is
their median over learning iterations against the iteration's whole CPU time. Needs torch and
sb3-contrib (the `[integration]` extra).
"""

from __future__ import annotations

import argparse
import statistics
import time

import torch
from sb3_contrib import MaskablePPO

from tavrin_rl.sb3 import GridPolicy, TavrinVecEnv, make_vec_env


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--envs", type=int, default=64)
    parser.add_argument("--iterations", type=int, default=3)
    args = parser.parse_args()
    torch.set_num_threads(1)
    spent = [0.0]

    def timed(method):  # CPU time inside the environment's own calls
        def call(self, *a, **k):
            start = time.process_time()
            try:
                return method(self, *a, **k)
            finally:
                spent[0] += time.process_time() - start
        return call

    for name in ("step_wait", "reset", "env_method"):
        setattr(TavrinVecEnv, name, timed(getattr(TavrinVecEnv, name)))
    env = make_vec_env(args.envs, seat="random", opponents="reach", seed=0)
    model = MaskablePPO(GridPolicy, env, n_steps=64, batch_size=512, gamma=1.0, seed=0,
                        verbose=0)
    shares = []
    for _ in range(args.iterations):
        spent[0] = 0.0
        start = time.process_time()
        model.learn(total_timesteps=args.envs * 64, reset_num_timesteps=False)
        total = time.process_time() - start
        shares.append(spent[0] / total)
        print(f"iteration: {total:.1f} s CPU, environment {spent[0]:.2f} s ({100 * spent[0] / total:.1f}%)")
    print(f"environment's share of a training step: {100 * statistics.median(shares):.1f}% "
          f"(median of {args.iterations}; {args.envs} games, n_steps=64, batch_size=512)")


if __name__ == "__main__":
    main()
