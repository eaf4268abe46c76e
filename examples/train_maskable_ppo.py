"""Train sb3-contrib's MaskablePPO on one seat against three random opponents, then measure it.

The learner plays a random seat of `tavrin_rl.gym.SingleAgentEnv` (compact observations, "rank"
rewards), and its action mask comes from the environment's `action_masks()`, so it never tries an
illegal placement. After training it plays `--eval-games` games against random and against greedy
opponents and prints its win rate (wins split evenly on ties) with a 95% Wilson interval.

    pip install '.[integration]'     # sb3-contrib, stable-baselines3, torch
    python examples/train_maskable_ppo.py --timesteps 60000 --curve curve.csv --plot curve.png

Options: --timesteps N (default 20000), --seed S, --eval-games N (default 200), --threads N
(torch threads, default 1), --batch-size N (64), --epochs N (4), --learning-rate X (0.001),
--curve FILE (CSV of the learning curve: timesteps and the mean win share of the last 200
training games), --plot FILE (the curve as a PNG, needs matplotlib), --save FILE (the model).
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
# torch and sb3-contrib are absent, and without analysing gymnasium for this one script.
SingleAgentEnv: Any = importlib.import_module("tavrin_rl.gym").SingleAgentEnv


def wilson(wins: float, games: int, z: float = 1.96) -> tuple[float, float]:
    """The 95% Wilson score interval of a win rate."""
    if games == 0:
        return 0.0, 1.0
    rate = wins / games
    centre = rate + z * z / (2 * games)
    spread = z * math.sqrt(rate * (1 - rate) / games + z * z / (4 * games * games))
    scale = 1 + z * z / games
    return max(0.0, (centre - spread) / scale), min(1.0, (centre + spread) / scale)


def win_share(scores: list[int], seat: int) -> float:
    """1 split among the agents with the top score, 0 for the others."""
    best = max(scores)
    return 1.0 / scores.count(best) if scores[seat] == best else 0.0


def evaluate(model: Any, opponents: str, games: int, seed: int) -> tuple[float, int]:
    """(wins split on ties, illegal moves) over `games` games from random seats."""
    env = SingleAgentEnv(seat="random", opponents=opponents, reward_mode="rank")
    wins, illegal = 0.0, 0
    for game in range(games):
        observation, info = env.reset(seed=seed + game)
        terminated = False
        while not terminated:
            action, _ = model.predict(observation, action_masks=env.action_masks(),
                                      deterministic=True)
            observation, _, terminated, _, info = env.step(int(action))
            illegal += int(info.get("illegal_action", False))
        if "scores" in info:
            wins += win_share(info["scores"], info["seat"])
    return wins, illegal


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timesteps", type=int, default=20_000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--eval-games", type=int, default=200)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--batch-size", type=int, default=64)
    parser.add_argument("--epochs", type=int, default=4)
    parser.add_argument("--learning-rate", type=float, default=1e-3)
    parser.add_argument("--curve", help="write the learning curve as CSV")
    parser.add_argument("--plot", help="draw the learning curve as a PNG (needs matplotlib)")
    parser.add_argument("--save", help="save the trained model")
    args = parser.parse_args()

    torch = importlib.import_module("torch")
    MaskablePPO = importlib.import_module("sb3_contrib").MaskablePPO

    torch.set_num_threads(args.threads)
    curve: list[tuple[int, float]] = []
    recent: deque[float] = deque(maxlen=200)

    def record(local: dict[str, Any], _: dict[str, Any]) -> bool:
        """Called by the learner after every step: the win share of every finished game."""
        steps = local["self"].num_timesteps
        for done, info in zip(local["dones"], local["infos"]):
            if done and "scores" in info:
                recent.append(win_share(info["scores"], info["seat"]))
                if len(recent) == recent.maxlen and steps - (curve[-1][0] if curve else 0) >= 2_000:
                    curve.append((steps, float(np.mean(recent))))
        return True

    env = SingleAgentEnv(seat="random", opponents="random", reward_mode="rank")
    # The policy head has 36400 outputs and dominates the cost of every step, so the network and
    # the number of epochs stay small; small batches and a larger learning rate still give 64
    # gradient steps per rollout (at 2 epochs of 512, 60,000 steps of training changed nothing).
    model = MaskablePPO("MultiInputPolicy", env, n_steps=1024, batch_size=args.batch_size,
                        n_epochs=args.epochs, learning_rate=args.learning_rate, gamma=1.0,
                        seed=args.seed,
                        policy_kwargs={"net_arch": {"pi": [64], "vf": [64]}}, verbose=0)
    started = time.process_time(), time.perf_counter()
    model.learn(total_timesteps=args.timesteps, callback=record)
    cpu, wall = time.process_time() - started[0], time.perf_counter() - started[1]
    print(f"trained {args.timesteps} steps in {cpu:.0f} s of CPU ({wall:.0f} s wall, "
          f"{args.threads} torch thread{'s' if args.threads > 1 else ''})")
    if args.save:
        model.save(args.save)

    print(f"{args.eval_games} games per opponent from random seats; 95% Wilson intervals")
    for opponents in ("random", "greedy"):
        wins, illegal = evaluate(model, opponents, args.eval_games, seed=10_000 + args.seed)
        low, high = wilson(wins, args.eval_games)
        print(f"vs {opponents:<6}  win rate {wins / args.eval_games:6.1%}  "
              f"({low:.1%}-{high:.1%})  illegal moves {illegal}")
    print("a random player wins 25% by symmetry")

    if args.curve:
        with open(args.curve, "w", newline="") as stream:
            writer = csv.writer(stream)
            writer.writerow(["timesteps", "win_share_last_200"])
            writer.writerows(curve)
    if args.plot and curve:
        matplotlib = importlib.import_module("matplotlib")
        matplotlib.use("Agg")
        plt = importlib.import_module("matplotlib.pyplot")

        figure, axes = plt.subplots(figsize=(5, 3), dpi=100)
        axes.plot([t for t, _ in curve], [w for _, w in curve])
        axes.axhline(0.25, color="grey", linestyle=":", label="random play")
        axes.set_xlabel("training steps")
        axes.set_ylabel("win share, last 200 games")
        axes.set_title("MaskablePPO vs three random opponents")
        axes.legend(loc="lower right")
        figure.tight_layout()
        figure.savefig(args.plot)


if __name__ == "__main__":
    main()
