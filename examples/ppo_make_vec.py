"""PPO in one file on `tavrin_rl.gym.make_vec`, with the policy computed at the legal placements
only (`tavrin_rl.distributions.LegalCategorical`), against three `random` opponents.

The learner plays a random seat of 32 games at once; the engine plays the other seats in C++
inside `step`. The net is the package trainer's `PolicyNet`: a small convolutional trunk whose
policy head is the action grid, evaluated at each position's legal grid indexes only. `--dense`
runs the same recipe the usual way, torch's `Categorical` over all 36,400 masked logits, to
compare speeds. After training the greedy policy (its most likely legal placement) plays
`--eval-games` games from rotating seats on seeds it never trained on, and the script prints its
win share with a 95% Wilson interval.

    python examples/ppo_make_vec.py --cpu-minutes 10 --curve curve.csv
    python examples/ppo_make_vec.py --dense --cpu-minutes 2 --eval-games 0    # the slow way

Needs torch (the `train` extra).
"""
from __future__ import annotations

import argparse
import csv
import time
from collections import deque
from typing import Final

import numpy as np
import torch
from torch import nn

from tavrin_rl._summary import wilson_interval
from tavrin_rl.agents.evaluate import play_games
from tavrin_rl.nets.inputs import extras_of
from tavrin_rl.distributions import LegalCategorical
from tavrin_rl.gym import make_vec
from tavrin_rl.nets.torch_net import PolicyNet

# --- hyperparameters -------------------------------------------------------------------------
SEED = 0
NUM_ENVS = 32            # games stepped together
NUM_STEPS = 64           # steps of every game per rollout: 2,048 decisions
EPOCHS = 3
MINIBATCH = 512
LEARNING_RATE = 1e-3
GAE_LAMBDA = 0.95        # no discounting (gamma = 1): a game lasts about 20 of the learner's moves
CLIP = 0.2
ENTROPY_COEF = 0.01
VALUE_COEF = 0.5
MAX_GRAD_NORM = 0.5
CHANNELS = 16
REWARD_MODE: Final = "rank"   # the learner's rank outcome when its game ends, 0 before
OPPONENTS = "random"
EVAL_SEED = 1_000_000    # evaluation games start here, far from the training seeds
CURVE_WINDOW = 500       # the curve's win share is over the last 500 finished games


class Rollout:
    """NUM_STEPS steps of NUM_ENVS games; the legal grid indexes of step t are kept as one flat
    list with offsets, a few hundred per position instead of a 36,400-wide mask."""

    def __init__(self) -> None:
        self.board: list[np.ndarray] = []
        self.extras: list[np.ndarray] = []
        self.legal: list[np.ndarray] = []
        self.counts: list[np.ndarray] = []
        self.actions: list[np.ndarray] = []
        self.logp: list[np.ndarray] = []
        self.values: list[np.ndarray] = []
        self.rewards: list[np.ndarray] = []
        self.dones: list[np.ndarray] = []


def evaluate_policy(net: PolicyNet, board_array: np.ndarray, extras_array: np.ndarray,
                    legal: tuple[np.ndarray, np.ndarray], dense: bool,
                    ) -> tuple[LegalCategorical | torch.distributions.Categorical, torch.Tensor]:
    """The policy's distribution and values at positions (board planes, pieces and flags);
    `legal` is (segment, grid index) of every legal entry."""
    board, extras = torch.from_numpy(board_array), torch.from_numpy(extras_array)
    segment, indexes = (torch.from_numpy(a) for a in legal)
    if not dense:
        logits, values = net(board, extras, segment, indexes)
        return LegalCategorical(logits, segment, indexes, len(board)), values
    h, orientation_bias = net.trunk(board, extras)
    grid = (net.policy(h) + orientation_bias[:, :, None, None]).flatten(1)
    mask = torch.zeros_like(grid, dtype=torch.bool)
    mask[segment, indexes] = True
    return torch.distributions.Categorical(logits=grid.masked_fill(~mask, -torch.inf)), net.value(h)


def legal_of(mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    segment, indexes = np.nonzero(mask)
    return segment.astype(np.int64), indexes.astype(np.int64)


def update(net: PolicyNet, optimizer: torch.optim.Optimizer, r: Rollout, last_value: np.ndarray,
           rng: np.random.Generator, dense: bool) -> None:
    rewards, dones, values = np.array(r.rewards), np.array(r.dones), np.array(r.values)
    advantages = np.zeros_like(rewards)
    running = np.zeros(NUM_ENVS, np.float32)
    following = last_value
    for t in reversed(range(NUM_STEPS)):  # GAE with gamma = 1; a finished game bootstraps 0
        going_on = 1.0 - dones[t]
        delta = rewards[t] + following * going_on - values[t]
        running = delta + GAE_LAMBDA * going_on * running
        advantages[t] = running
        following = values[t]
    returns = (advantages + values).reshape(-1)
    advantages = advantages.reshape(-1)
    board, extras = np.concatenate(r.board), np.concatenate(r.extras)
    legal, counts = np.concatenate(r.legal), np.concatenate(r.counts)
    offsets = np.concatenate([[0], np.cumsum(counts)])
    actions, old_logp = np.concatenate(r.actions), np.concatenate(r.logp)
    for _ in range(EPOCHS):
        order = rng.permutation(len(actions))
        for begin in range(0, len(order), MINIBATCH):
            rows = order[begin:begin + MINIBATCH]
            n = counts[rows]
            segment = np.repeat(np.arange(len(rows)), n)
            starts = np.repeat(offsets[rows] - np.concatenate([[0], np.cumsum(n)[:-1]]), n)
            indexes = legal[starts + np.arange(n.sum())]
            dist, value = evaluate_policy(net, board[rows], extras[rows], (segment, indexes), dense)
            logp = dist.log_prob(torch.from_numpy(actions[rows]))
            a = torch.from_numpy(advantages[rows])
            a = (a - a.mean()) / (a.std() + 1e-8)
            ratio = (logp - torch.from_numpy(old_logp[rows])).exp()
            policy_loss = -torch.min(ratio * a, ratio.clamp(1 - CLIP, 1 + CLIP) * a).mean()
            value_loss = 0.5 * (value - torch.from_numpy(returns[rows])).pow(2).mean()
            loss = policy_loss + VALUE_COEF * value_loss - ENTROPY_COEF * dist.entropy().mean()
            optimizer.zero_grad()
            loss.backward()  # type: ignore[no-untyped-call]
            nn.utils.clip_grad_norm_(net.parameters(), MAX_GRAD_NORM)
            optimizer.step()


def train(cpu_minutes: float, dense: bool, curve_path: str | None) -> tuple[PolicyNet, int, float]:
    torch.manual_seed(SEED)
    rng = np.random.default_rng(SEED)
    net = PolicyNet(channels=CHANNELS)
    optimizer = torch.optim.Adam(net.parameters(), lr=LEARNING_RATE)
    env = make_vec(NUM_ENVS, seat="random", opponents=OPPONENTS, reward_mode=REWARD_MODE,
                   seed=SEED, threads=1, autoreset_mode="same_step")
    obs, infos = env.reset()
    mask = env.action_masks()
    recent: deque[float] = deque(maxlen=CURVE_WINDOW)
    curve: list[tuple[int, float, float]] = []
    steps, started = 0, time.process_time()
    while time.process_time() - started < 60 * cpu_minutes:
        r = Rollout()
        for _ in range(NUM_STEPS):
            legal = legal_of(mask)
            extras = extras_of(obs["pieces"], obs["out_of_moves"])
            with torch.no_grad():
                dist, value = evaluate_policy(net, obs["board"], extras, legal, dense)
                action = dist.sample()
                logp = dist.log_prob(action)
            r.board.append(obs["board"])
            r.extras.append(extras)
            r.legal.append(legal[1])
            r.counts.append(np.bincount(legal[0], minlength=NUM_ENVS))
            r.actions.append(action.numpy())
            r.logp.append(logp.numpy())
            r.values.append(value.numpy())
            obs, reward, terminated, _, infos = env.step(action.numpy())
            mask = env.action_masks()
            r.rewards.append(reward)
            r.dones.append(terminated.astype(np.float32))
            for i in np.flatnonzero(terminated):  # a finished game's win share, ties split
                scores = infos["final_info"]["scores"][i]
                seat = infos["final_info"]["seat"][i]
                top = scores == scores.max()
                recent.append(float(top[seat]) / float(top.sum()))
        steps += NUM_STEPS * NUM_ENVS
        with torch.no_grad():
            _, last_value = evaluate_policy(net, obs["board"],
                                            extras_of(obs["pieces"], obs["out_of_moves"]),
                                            legal_of(mask), dense)
        update(net, optimizer, r, last_value.numpy(), rng, dense)
        cpu = time.process_time() - started
        if len(recent) == CURVE_WINDOW:
            curve.append((steps, cpu, float(np.mean(recent))))
            print(f"{steps:>8} steps  {cpu:7.1f} CPU-s  {steps / cpu:6.0f} steps/CPU-s  "
                  f"win share (last {CURVE_WINDOW} games) {curve[-1][2]:.3f}", flush=True)
    if curve_path:
        with open(curve_path, "w", newline="") as stream:
            writer = csv.writer(stream)
            writer.writerow(["steps", "cpu_seconds", f"win_share_last_{CURVE_WINDOW}"])
            writer.writerows((s, f"{c:.1f}", f"{w:.4f}") for s, c, w in curve)
    return net, steps, time.process_time() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cpu-minutes", type=float, default=10.0, help="training budget")
    parser.add_argument("--eval-games", type=int, default=1000)
    parser.add_argument("--dense", action="store_true", help="Categorical over all 36,400 logits")
    parser.add_argument("--curve", help="write the learning curve as CSV")
    args = parser.parse_args()
    torch.set_num_threads(1)
    net, steps, cpu = train(args.cpu_minutes, args.dense, args.curve)
    print(f"trained {steps} steps in {cpu:.0f} CPU-s: {steps / cpu:.0f} steps per CPU-second"
          f"{' (dense)' if args.dense else ''}")
    if args.eval_games < 1:
        return

    def choose(board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
               legal: np.ndarray) -> np.ndarray:
        with torch.no_grad():
            logits, _ = net(torch.from_numpy(board), torch.from_numpy(extras),
                            torch.from_numpy(segment), torch.from_numpy(legal))
            picks = LegalCategorical(logits, segment, legal, len(board)).mode()
        return picks.numpy()

    result = play_games(choose, (OPPONENTS,) * 3, args.eval_games, seed=EVAL_SEED)
    low, high = wilson_interval(result.wins, result.games)
    print(f"vs three {OPPONENTS}: win share {result.win_share:.1%} (95% interval {low:.1%}-"
          f"{high:.1%}) over {result.games} games, seats rotated, held-out seeds")


if __name__ == "__main__":
    main()
