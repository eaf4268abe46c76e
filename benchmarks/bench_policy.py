"""Speed of a trained policy: numpy inference and the training loop.

* inference on batches of positions from games in progress (the learner's turns of `VectorGames`
  against three greedy seats), in decisions per CPU-second, the engine's stepping excluded: the
  numpy path (`Policy.reference_logits` and the argmax per position), kept as the reference
  that `bench_net.py batched` compares the engine's net seats with, and `Policy.choose` (the
  engine's forward pass, from Python);
* the training loop (needs torch): PPO rollouts and updates against three greedy seats, in learner
  decisions per CPU-second, everything included.

Medians of CPU time over several runs, one thread:

    OMP_NUM_THREADS=1 python benchmarks/bench_policy.py [--policy PATH] [--runs 3]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from tavrin_rl.policy_agent import baseline_path
from tavrin_rl.policy_net import Policy, extras_of, legal_entries, segment_argmax
from tavrin_rl.vector import VectorGames


def positions(count: int, seed: int) -> list[tuple[np.ndarray, ...]]:
    """Batches of learner positions: board, extras, segment, legal."""
    v = VectorGames(count, threads=1, seed=seed, observation="compact", mask=False,
                    autoreset=False, seats=("learner", "greedy", "greedy", "greedy"),
                    rotate_seats=True)
    batches = []
    while not v.terminated.all():
        active = np.flatnonzero(~v.terminated)
        offsets, actions = v.legal_actions()
        segment, legal = legal_entries(offsets, actions, active)
        assert v.observation is not None and v.pieces is not None and v.done is not None
        batches.append((v.observation[active].copy(), extras_of(v.pieces[active], v.done[active]),
                        segment, legal))
        step = np.zeros(count, np.int32)
        step[active] = v.sample_actions("reach")[active]
        v.step(step, games=active)
    return batches


def numpy_choose(policy: Policy, board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
                 legal: np.ndarray) -> np.ndarray:
    """The numpy path: numpy's forward pass and the most likely legal index per position."""
    logits = policy.reference_logits(board, extras, segment, legal)
    return legal[segment_argmax(logits, segment, len(board))]


def bench_inference(policy: Policy, runs: int, numpy_path: bool = True) -> float:
    batches = positions(256, 0)
    decisions = sum(len(b[0]) for b in batches)
    choose = (lambda *b: numpy_choose(policy, *b)) if numpy_path else policy.choose
    times = []
    for _ in range(runs):
        started = time.process_time()
        for board, extras, segment, legal in batches:
            choose(board, extras, segment, legal)
        times.append(time.process_time() - started)
    return decisions / statistics.median(times)


def bench_training(runs: int) -> float:
    import torch

    from tavrin_rl.train import ppo
    from tavrin_rl.train.net import PolicyNet
    torch.set_num_threads(1)
    torch.manual_seed(0)
    net = PolicyNet()
    optimizer = torch.optim.Adam(net.parameters(), lr=1e-3)
    settings = ppo.Settings()
    v = VectorGames(settings.games, threads=1, seed=0, observation="compact", mask=False,
                    autoreset=False, seats=("learner", *settings.opponents), rotate_seats=True)
    rates = []
    for update in range(runs):
        rng = np.random.default_rng([0, update])
        started = time.process_time()
        rollout = ppo.collect(net, v, 0, update * settings.games, rng, settings.win_weight)
        ppo.ppo_update(net, optimizer, rollout, settings, rng)
        rates.append(rollout.steps / (time.process_time() - started))
    return statistics.median(rates)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--policy", default=baseline_path())
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    policy = Policy.load(args.policy)
    print(f"numpy inference: {bench_inference(policy, args.runs):,.0f} decisions per CPU-second")
    print(f"engine inference from Python: {bench_inference(policy, args.runs, False):,.0f} "
          "decisions per CPU-second")
    try:
        import torch  # noqa: F401
    except ImportError:
        print("training loop: skipped (no torch)")
        return
    print(f"training loop: {bench_training(args.runs):,.0f} learner decisions per CPU-second")


if __name__ == "__main__":
    main()
