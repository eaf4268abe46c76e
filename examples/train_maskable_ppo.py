"""Train sb3-contrib's MaskablePPO with `tavrin_rl.sb3.GridPolicy` against three random
opponents on the batched engine, then measure it.

The learner plays a random seat of `tavrin_rl.sb3.make_vec_env` (32 games at once, compact
observations, "rank" rewards), and MaskablePPO reads each game's legal placements from the
environment, so it never tries an illegal one. `GridPolicy` is the package trainer's net: a small
convolutional trunk whose policy head is the action grid. After training the learner plays
`--eval-games` games against random and against greedy opponents from random seats, on seeds it
never trained on, and the script prints its win share (wins split evenly on ties) with a 95%
Wilson interval.

    pip install '.[integration]'     # sb3-contrib, stable-baselines3, torch
    python examples/train_maskable_ppo.py --cpu-minutes 10 --eval-games 1000 --curve curve.csv

Options: --timesteps N (default 200000), --cpu-minutes M (stop learning after M minutes of this
process's CPU, evaluation excluded), --envs N (32), --n-steps N (64; sb3-contrib keeps the masks
of a rollout as float32, 146 KB per step and game), --seed S, --eval-games N (default 1000),
--threads N (torch threads, default 1), --batch-size N (512), --epochs N (3), --learning-rate X
(0.001), --curve FILE (CSV of the learning curve: timesteps, CPU seconds and the mean win share of
the last 500 training games), --plot FILE (the curve as a PNG, needs matplotlib), --save FILE.
"""
from __future__ import annotations

import argparse
import csv
import importlib
import math
import time
from collections import deque
from typing import Any

import numpy as np

# Imported by name, like the libraries below: the examples are type-checked with mypy where
# torch and sb3-contrib are absent.
make_vec: Any = importlib.import_module("tavrin_rl.gym").make_vec


def wilson(wins: float, games: int, z: float = 1.96) -> tuple[float, float]:
    """The 95% Wilson score interval of a win rate."""
    if games == 0:
        return 0.0, 1.0
    rate = wins / games
    centre = rate + z * z / (2 * games)
    spread = z * math.sqrt(rate * (1 - rate) / games + z * z / (4 * games * games))
    scale = 1 + z * z / games
    return max(0.0, (centre - spread) / scale), min(1.0, (centre + spread) / scale)


def win_share(scores: Any, seat: int) -> float:
    """1 split among the agents with the top score, 0 for the others."""
    scores = list(scores)
    best = max(scores)
    return 1.0 / scores.count(best) if scores[seat] == best else 0.0


def evaluate(model: Any, opponents: str, games: int, seed: int) -> tuple[float, int]:
    """(wins split on ties, illegal moves) over `games` games from random seats, each played
    once, all at the same time: the learner's most likely legal placement in every game."""
    torch = importlib.import_module("torch")
    env = make_vec(games, seat="random", opponents=opponents, reward_mode="win_share",
                   seed=seed, threads=1)
    observations, infos = env.reset()
    played = np.zeros(games, dtype=bool)
    wins, illegal = 0.0, 0
    while not played.all():
        masks = env.action_masks()
        with torch.no_grad():
            tensors, _ = model.policy.obs_to_tensor(observations)
            actions, _, _ = model.policy(tensors, deterministic=True, action_masks=masks)
        actions = actions.numpy()
        illegal += int((~masks[np.arange(games), actions] & ~played).sum())
        observations, rewards, terminations, _, infos = env.step(actions)
        ended = terminations & ~played
        wins += float(rewards[ended].sum())  # the win share of each game that ended
        played |= terminations
    return wins, illegal


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timesteps", type=int, default=200_000)
    parser.add_argument("--cpu-minutes", type=float, default=None)
    parser.add_argument("--envs", type=int, default=32)
    parser.add_argument("--n-steps", type=int, default=64)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--eval-games", type=int, default=1000)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--learning-rate", type=float, default=1e-3)
    parser.add_argument("--curve", help="write the learning curve as CSV")
    parser.add_argument("--plot", help="draw the learning curve as a PNG (needs matplotlib)")
    parser.add_argument("--save", help="save the trained model")
    args = parser.parse_args()
    for name in ("timesteps", "envs", "n_steps", "eval_games", "threads", "batch_size", "epochs"):
        if getattr(args, name) < 1:
            parser.error(f"--{name.replace('_', '-')} must be at least 1")
    if args.cpu_minutes is not None and not args.cpu_minutes > 0:
        parser.error("--cpu-minutes must be positive")

    torch = importlib.import_module("torch")
    MaskablePPO = importlib.import_module("sb3_contrib").MaskablePPO
    BaseCallback = importlib.import_module("stable_baselines3.common.callbacks").BaseCallback
    sb3 = importlib.import_module("tavrin_rl.sb3")

    torch.set_num_threads(args.threads)
    curve: list[tuple[int, float, float]] = []
    recent: deque[float] = deque(maxlen=500)
    started = time.process_time(), time.perf_counter()
    budget = None if args.cpu_minutes is None else 60 * args.cpu_minutes

    class Record(BaseCallback):  # type: ignore[misc, valid-type]
        """After every step: the win share of each finished game; stops at the CPU budget."""

        def _on_step(self) -> bool:
            steps = self.num_timesteps
            cpu = time.process_time() - started[0]
            for done, info in zip(self.locals["dones"], self.locals["infos"]):
                if done and "scores" in info:
                    recent.append(win_share(info["scores"], info["seat"]))
            if len(recent) == recent.maxlen and steps - (curve[-1][0] if curve else 0) >= 10_000:
                curve.append((steps, cpu, float(np.mean(recent))))
            return budget is None or cpu < budget

    env = sb3.make_vec_env(args.envs, seat="random", opponents="random", reward_mode="rank",
                           seed=args.seed, threads=1)
    model = MaskablePPO(sb3.GridPolicy, env, n_steps=args.n_steps, batch_size=args.batch_size,
                        n_epochs=args.epochs, learning_rate=args.learning_rate, gamma=1.0,
                        gae_lambda=0.95, ent_coef=0.01, seed=args.seed, verbose=0)
    model.learn(total_timesteps=args.timesteps, callback=Record())
    cpu, wall = time.process_time() - started[0], time.perf_counter() - started[1]
    print(f"trained {model.num_timesteps} steps in {cpu:.0f} s of CPU ({wall:.0f} s wall, "
          f"{args.threads} torch thread{'s' if args.threads > 1 else ''})")
    if args.save:
        model.save(args.save)

    print(f"{args.eval_games} games per opponent from random seats on held-out seeds; "
          f"95% Wilson intervals")
    for opponents in ("random", "greedy"):
        wins, illegal = evaluate(model, opponents, args.eval_games, seed=10_000 + args.seed)
        low, high = wilson(wins, args.eval_games)
        print(f"vs {opponents:<6}  win share {wins / args.eval_games:6.1%}  "
              f"({low:.1%}-{high:.1%})  illegal moves {illegal}")
    print("a random player wins 25% by symmetry")

    if args.curve:
        with open(args.curve, "w", newline="") as stream:
            writer = csv.writer(stream)
            writer.writerow(["timesteps", "cpu_seconds", "win_share_last_500"])
            writer.writerows((t, f"{c:.1f}", f"{w:.4f}") for t, c, w in curve)
    if args.plot and curve:
        matplotlib = importlib.import_module("matplotlib")
        matplotlib.use("Agg")
        plt = importlib.import_module("matplotlib.pyplot")

        figure, axes = plt.subplots(figsize=(5, 3), dpi=100)
        axes.plot([c / 60 for _, c, _ in curve], [w for _, _, w in curve])
        axes.axhline(0.25, color="grey", linestyle=":", label="random play")
        axes.set_xlabel("training CPU minutes")
        axes.set_ylabel("win share, last 500 games")
        axes.set_title("MaskablePPO + GridPolicy vs three random opponents")
        axes.legend(loc="lower right")
        figure.tight_layout()
        figure.savefig(args.plot)


if __name__ == "__main__":
    main()
