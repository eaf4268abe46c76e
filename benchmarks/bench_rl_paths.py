"""Steps per CPU-second of every library's path onto the engine, measured in one process,
interleaved round by round, so that a busy machine slows every path alike.

    python benchmarks/bench_rl_paths.py [--games 32] [--rounds 5] [--seconds 0.5] [--only a,b]

A step is one placement chosen by the path's policy (a learner step; in self-play and in the
PettingZoo conversions, any seat's). The learner plays against three `random` agents, and the
paths with a net use one of the same width (`PolicyNet`, 16 channels), torch on one thread:
- gym-single: `gymnasium.make("tavrin_rl/SingleAgent-v0")`, random legal actions, one game;
- make_vec: `tavrin_rl.gym.make_vec`, `sample_legal_actions()` (no net: the ceiling);
- sb3: MaskablePPO + `GridPolicy` on `tavrin_rl.sb3.make_vec_env`, `collect_rollouts`;
- torchrl: `tavrin_rl.torchrl.make_env`, `env.random_policy`, `step_and_maybe_reset`;
- torchrl-pettingzoo: TorchRL's `PettingZooWrapper(env(observation="compact"))`, `rollout`;
- tianshou: Tianshou's `Collector` on `PettingZooEnv(env(observation="compact"))`, two envs,
  its masked random policy;
- rllib-single: RLlib's env runner on `tavrin_rl.rllib_vector.single_agent` (`sample`);
- rllib-self-play: RLlib's multi-agent env runner on `rllib_vector.self_play` (agent steps);
- rllib-multi-agent: `tavrin_rl.rllib.TavrinMultiAgentEnv`, one game per env, `shared_module`;
- pettingzoo-aec: `tavrin_rl.env()`, random legal placements (the mask read as bool);
- pettingzoo-parallel: `turn_based_aec_to_parallel(env())`, the mover's random legal placement.
Each round runs every path for at least `--seconds` of process CPU time; the table gives each
path's median over rounds and its ratio to pettingzoo-aec. A path whose library is missing is
skipped, with the reason.
"""

from __future__ import annotations

import argparse
import importlib.util
import logging
import statistics
import time
from typing import Any, Callable

import numpy as np

import tavrin_rl

Run = Callable[[], int]  # one chunk of a path; returns the steps it made
RANDOM_OPPONENTS = {1: "random", 2: "random", 3: "random"}


def _legal_choice(rng: np.random.Generator, mask: np.ndarray) -> int:
    legal = np.flatnonzero(mask.view(bool))
    return int(legal[rng.integers(legal.size)])


def gym_single(games: int) -> Run:
    import gymnasium

    import tavrin_rl.gym  # noqa: F401  # registers the environments
    env = gymnasium.make("tavrin_rl/SingleAgent-v0", seat="random", opponents="random")
    rng = np.random.default_rng(0)
    env.reset(seed=0)
    single: Any = env.unwrapped

    def run() -> int:
        steps, over = 0, False
        while not over:
            _, _, terminated, truncated, _ = env.step(_legal_choice(rng, single.action_masks()))
            steps, over = steps + 1, terminated or truncated
        env.reset()
        return steps
    return run


def make_vec_path(games: int) -> Run:
    from tavrin_rl.gym import make_vec
    env = make_vec(games, seat="random", opponents="random", seed=0, threads=1)
    env.reset()

    def run() -> int:
        for _ in range(8):
            env.step(env.sample_legal_actions())
        return 8 * games
    return run


def sb3_path(games: int) -> Run:
    from sb3_contrib import MaskablePPO

    from tavrin_rl.sb3 import GridPolicy, make_vec_env
    env = make_vec_env(games, seat="random", opponents="random", seed=0, threads=1)
    model = MaskablePPO(GridPolicy, env, n_steps=8, batch_size=8 * games, gamma=1.0, seed=0,
                        verbose=0)
    _, callback = model._setup_learn(10**9, None)
    callback.on_training_start(locals(), globals())

    def run() -> int:
        model.rollout_buffer.reset()
        model.collect_rollouts(env, callback, model.rollout_buffer, n_rollout_steps=8)
        return 8 * games
    return run


def torchrl_path(games: int) -> Run:
    from tavrin_rl.torchrl import make_env
    env = make_env(games, seat="random", opponents="random", seed=0)
    state = {"td": env.reset()}

    def run() -> int:
        for _ in range(8):
            _, state["td"] = env.step_and_maybe_reset(env.random_policy(state["td"]))
        return 8 * games
    return run


def torchrl_pettingzoo(games: int) -> Run:
    from torchrl.envs.libs.pettingzoo import PettingZooWrapper
    env = PettingZooWrapper(tavrin_rl.env(observation="compact"), use_mask=True)

    def run() -> int:
        env.rollout(max_steps=20, break_when_any_done=False)
        return 20
    return run


def tianshou_path(games: int) -> Run:
    from tianshou.algorithm.multiagent.marl import MultiAgentPolicy
    from tianshou.algorithm.random import MARLRandomDiscreteMaskedOffPolicyAlgorithm
    from tianshou.data import Collector, VectorReplayBuffer
    from tianshou.env import DummyVectorEnv, PettingZooEnv

    def make() -> Any:
        return PettingZooEnv(tavrin_rl.env(observation="compact"))
    envs, env = DummyVectorEnv([make, make]), make()
    policy = MultiAgentPolicy({agent: MARLRandomDiscreteMaskedOffPolicyAlgorithm(
        env.action_space).policy for agent in env.agents})
    collector: Any = Collector(policy, envs, VectorReplayBuffer(2000, len(envs)))
    collector.reset()

    def run() -> int:
        return int(collector.collect(n_step=20).n_collected_steps)
    return run


def _sampler(config: Any, agent_steps: bool, steps: int) -> Run:
    runner = config.env_runners(num_env_runners=0).build_algo().env_runner

    def run() -> int:
        episodes = runner.sample(num_timesteps=steps)
        return sum(e.agent_steps() if agent_steps else len(e) for e in episodes)
    return run


def _ppo() -> Any:
    from ray.rllib.algorithms.ppo import PPOConfig
    return PPOConfig().training(use_kl_loss=False).debugging(seed=0)  # type: ignore[no-untyped-call]


def rllib_single(games: int) -> Run:
    from tavrin_rl.rllib_vector import single_agent
    return _sampler(single_agent(_ppo(), num_envs=games, seed=0), False, 8 * games)


def rllib_self_play(games: int) -> Run:
    from tavrin_rl.rllib_vector import self_play
    return _sampler(self_play(_ppo(), num_envs=games), True, 8 * games)


def rllib_multi_agent(games: int) -> Run:
    from tavrin_rl.rllib import TavrinMultiAgentEnv, shared_module, shared_policy
    config = (_ppo().environment(TavrinMultiAgentEnv,
                                 env_config={"opponents": RANDOM_OPPONENTS, "seed": 0})
              .multi_agent(**shared_policy()).rl_module(rl_module_spec=shared_module()))
    return _sampler(config, True, 20)


def _aec_game(env: Any, rng: np.random.Generator) -> int:
    env.reset(seed=int(rng.integers(2**31)))
    steps = 0
    for _ in env.agent_iter():
        observation, _, termination, truncation, _ = env.last()
        if termination or truncation:
            env.step(None)
        else:
            env.step(_legal_choice(rng, observation["action_mask"]))
            steps += 1
    return steps


def pettingzoo_aec(games: int) -> Run:
    env, rng = tavrin_rl.env(), np.random.default_rng(0)
    return lambda: _aec_game(env, rng)


def pettingzoo_parallel(games: int) -> Run:
    from pettingzoo.utils.conversions import turn_based_aec_to_parallel
    env, rng = turn_based_aec_to_parallel(tavrin_rl.env()), np.random.default_rng(0)
    mover = env.aec_env.unwrapped

    def run() -> int:
        observations, _ = env.reset(seed=int(rng.integers(2**31)))
        steps = 0
        while env.agents:
            agent = mover.agent_selection
            observations, *_ = env.step({agent: _legal_choice(
                rng, observations[agent]["action_mask"])})
            steps += 1
        return steps
    return run


# name: (what it measures, the modules it needs, its maker)
PATHS: dict[str, tuple[str, tuple[str, ...], Callable[[int], Run]]] = {
    "gym-single": ("Gymnasium `SingleAgent-v0`, random legal, no net", ("gymnasium",), gym_single),
    "make_vec": ("`make_vec(N)`, `sample_legal_actions()`, no net", ("gymnasium",),
                 make_vec_path),
    "sb3": ("SB3 MaskablePPO + `GridPolicy`, `collect_rollouts`", ("sb3_contrib",), sb3_path),
    "torchrl": ("TorchRL `make_env(N)`, `random_policy`, no net", ("torchrl",), torchrl_path),
    "torchrl-pettingzoo": ("TorchRL `PettingZooWrapper(env())`, masked random, no net",
                           ("torchrl",), torchrl_pettingzoo),
    "tianshou": ("Tianshou `Collector` on `PettingZooEnv(env())`, masked random, no net",
                 ("tianshou",), tianshou_path),
    "rllib-single": ("RLlib `rllib_vector.single_agent`, env runner `sample`",
                     ("ray.rllib", "torch"), rllib_single),
    "rllib-self-play": ("RLlib `rllib_vector.self_play`, agent steps",
                        ("ray.rllib", "torch"), rllib_self_play),
    "rllib-multi-agent": ("RLlib `TavrinMultiAgentEnv`, one game per env",
                          ("ray.rllib", "torch"), rllib_multi_agent),
    "pettingzoo-aec": ("PettingZoo `env()`, random legal, no net", ("pettingzoo",),
                       pettingzoo_aec),
    "pettingzoo-parallel": ("PettingZoo `turn_based_aec_to_parallel(env())`, no net",
                            ("pettingzoo",), pettingzoo_parallel),
}


def _missing(modules: tuple[str, ...]) -> str | None:
    for module in modules:
        try:
            if importlib.util.find_spec(module) is None:
                return module
        except ModuleNotFoundError:
            return module
    return None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=32)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=0.5, help="CPU seconds per path a round")
    parser.add_argument("--only", default="", help="comma-separated path names (default: all)")
    args = parser.parse_args()
    names = [name for name in args.only.split(",") if name] or list(PATHS)
    unknown = sorted(set(names) - set(PATHS))
    if unknown:
        parser.error(f"unknown paths {unknown}; choose from {', '.join(PATHS)}")
    if importlib.util.find_spec("torch") is not None:
        import torch
        torch.set_num_threads(1)
    ray: Any = None
    if any(name.startswith("rllib") for name in names) and _missing(("ray.rllib",)) is None:
        import ray as ray_module
        ray = ray_module
        ray.init(include_dashboard=False, logging_level=logging.ERROR, num_cpus=1)
    runs: dict[str, Run] = {}
    for name in names:
        missing = _missing(PATHS[name][1])
        if missing:
            print(f"skipped {name}: {missing} is not installed")
            continue
        runs[name] = PATHS[name][2](args.games)
        runs[name]()  # warm up: first forward passes, first resets
    rates: dict[str, list[float]] = {name: [] for name in runs}
    for round_number in range(args.rounds):
        for name, run in runs.items():
            steps, start = 0, time.process_time()
            while (spent := time.process_time() - start) < args.seconds:
                steps += run()
            rates[name].append(steps / spent)
        print(f"round {round_number + 1}: " + ", ".join(
            f"{name} {rates[name][-1]:,.0f}" for name in runs), flush=True)
    base = statistics.median(rates["pettingzoo-aec"]) if "pettingzoo-aec" in rates else None
    print(f"\nsteps per CPU-second, N = {args.games} games, median of {args.rounds} rounds "
          f"of {args.seconds} s")
    print("| path | what | steps per CPU-second | vs `env()` |\n|---|---|---:|---:|")
    for name, values in rates.items():
        median = statistics.median(values)
        ratio = f"{median / base:.3g}x" if base else "-"
        print(f"| {name} | {PATHS[name][0]} | {median:,.0f} | {ratio} |")
    if ray is not None:
        ray.shutdown()


if __name__ == "__main__":
    main()
