"""RLlib on the batched engine: many games per env runner, the policy evaluated at the legal
placements only (`tavrin_rl.rllib_legal_module.LegalGridModule`). Needs the `rllib` extra.

Single agent: the learner's seat in `num_envs` games of `tavrin_rl.gym.make_vec` per env runner,
the other seats played by the engine in C++ ("random", "greedy", "reach", "mcts", "baseline",
"policy:PATH"), handed to RLlib whole as a Gymnasium vector env:

    from ray.rllib.algorithms.ppo import PPOConfig
    from tavrin_rl.rllib_vector import single_agent

    config = single_agent(PPOConfig(), num_envs=32, opponents="random", seed=0)
    config = config.env_runners(num_env_runners=1).training(use_kl_loss=False)

Self-play: one module shared by the four seats, `num_envs` games per env runner (RLlib steps
them together and batches the module's forward pass over them):

    from tavrin_rl.rllib_vector import self_play
    config = self_play(PPOConfig(), num_envs=16)

Observations are {"board": uint8 (12, 20, 20), "extras": float32 (88,) (pieces held and
out-of-moves flags), "legal": uint8 (4550,) the legal grid indexes as a bit set}; actions are grid
indexes. Seeds: game i of env runner w plays seed `seed + w * num_envs + i`, so no two runners or
games of one seed share a stream; `seed` is env_config["seed"], else the seed RLlib passes to the
first reset (`.debugging(seed=...)`), else fresh entropy. The same config and seeds give the same
games.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from tavrin_rl._extras import needs_extra

try:
    import gymnasium as gym
    from gymnasium.vector import VectorEnv
    from gymnasium.vector.utils import batch_space
    from ray.rllib.env.multi_agent_env import MultiAgentEnv
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.rllib_vector", "rllib", _error) from _error

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents import pass_turns
from tavrin_rl.nets.inputs import extras_of
from tavrin_rl.catalogue import BOARD_CHANNELS, BOARD_SIDE, NUM_ACTIONS, NUM_SEATS
from tavrin_rl.gym import make_vec, observations
from tavrin_rl.gym.observations import checked_illegal_reward
from tavrin_rl.rllib import place_runner, runner_seeds

__all__ = ["TavrinVectorEnv", "TavrinSelfPlayEnv", "observation_space", "self_play",
           "single_agent", "snapshot_pool"]

LEGAL_BYTES = (NUM_ACTIONS + 7) // 8
EXTRAS = NUM_SEATS * 21 + NUM_SEATS  # pieces held by each seat, then the out-of-moves flags
SHARED_POLICY = "shared"
AGENTS: list[str] = list(observations.AGENTS)  # "player_0" to "player_3"
_SINGLE_KEYS = {"num_envs", "seed", "seat", "opponents", "reward_mode", "threads", "worker_index",
                "generation"}
_SELF_PLAY_KEYS = {"seed", "reward_mode", "illegal_reward"}


def observation_space() -> gym.spaces.Dict:
    return gym.spaces.Dict({
        "board": gym.spaces.Box(0, 1, (BOARD_CHANNELS, BOARD_SIDE, BOARD_SIDE), np.uint8),
        "extras": gym.spaces.Box(0.0, 1.0, (EXTRAS,), np.float32),
        "legal": gym.spaces.Box(0, 255, (LEGAL_BYTES,), np.uint8),
    })


def _checked(config: dict[str, Any], allowed: set[str]) -> dict[str, Any]:
    config = dict(config)
    for key in config:  # RLlib adds a few of its own (worker_index and the like)
        if key not in allowed and not (isinstance(key, str)
                                       and key.startswith(("worker", "vector", "num_", "remote"))):
            raise ValueError(f"unknown env_config key {key!r} (known: {', '.join(sorted(allowed))})")
    seed = config.get("seed")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int) or seed < 0):
        raise ValueError(f"env_config seed must be a whole number of at least 0, not {seed!r}")
    return config


class TavrinVectorEnv(VectorEnv):  # type: ignore[type-arg]  # as make_vec's
    """`make_vec(num_envs, ...)` with RLlib's observations (see the module's doc) and no
    per-game mask in the infos (RLlib would copy 36,400 bytes per step into each episode).

    env_config: "num_envs" (RLlib sets it from num_envs_per_env_runner), "seed", "seat" ("random"
    by default), "opponents" ("random"), "reward_mode" ("win_share"), "threads" (1)."""

    def __init__(self, config: dict[str, Any] | None = None) -> None:
        config = _checked(config or {}, _SINGLE_KEYS)
        num_envs = int(config.get("num_envs", 1))
        self.env = make_vec(num_envs, seat=config.get("seat", "random"),
                            opponents=config.get("opponents", "random"),
                            reward_mode=config.get("reward_mode", "win_share"),
                            threads=config.get("threads", 1), copy=False)
        self.num_envs = num_envs
        self.root_seed: int | None = config.get("seed")
        # `snapshot_pool` bumps it when it rebuilds the env: new opponents, new games
        self.generation = int(config.get("generation", 0))
        # The env runner's index: RLlib's vector entry point hands the creator a plain dict, so
        # `single_agent`'s callback sets it from the runner's EnvContext before the first reset.
        self.worker_index = int(config.get("worker_index", 0))
        self.single_observation_space = observation_space()
        self.single_action_space = gym.spaces.Discrete(NUM_ACTIONS)
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self.metadata = dict(self.env.metadata)

    def game_seeds(self, reset_seed: int | None) -> list[int] | None:
        """Each game's seed for a reset given `reset_seed` (RLlib's: its seed + worker index)."""
        root = self.root_seed
        if root is None and reset_seed is not None:
            root = reset_seed - self.worker_index
        if root is None:
            return None
        return runner_seeds(root, self.worker_index, self.num_envs, self.generation)

    def place(self, worker_index: int, vector_index: int, num_envs: int) -> None:
        """For `place_runner`: this env is env runner `worker_index`'s one vector env."""
        self.worker_index = worker_index

    def reset(self, *, seed: int | Sequence[int] | None = None,
              options: dict[str, Any] | None = None) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
        if seed is not None and not isinstance(seed, (int, np.integer)):
            raise TypeError(f"seed must be None or an int, not {type(seed).__name__}")
        obs, infos = self.env.reset(seed=self.game_seeds(None if seed is None else int(seed)))
        return self._observe(obs, None), self._infos(infos)

    def step(self, actions: Any) -> tuple[dict[str, np.ndarray], np.ndarray, np.ndarray,
                                          np.ndarray, dict[str, Any]]:
        obs, rewards, terminated, truncated, infos = self.env.step(np.asarray(actions))
        return self._observe(obs, terminated), rewards, terminated, truncated, self._infos(infos)

    def _observe(self, obs: dict[str, np.ndarray], ended: np.ndarray | None) -> dict[str, np.ndarray]:
        mask = self.env.games.legal_action_mask
        assert mask is not None
        legal = np.packbits(mask, axis=1)
        if ended is not None:
            legal[ended] = 0  # a finished game: no placement (its next action is ignored)
        return {"board": obs["board"].copy(), "extras": extras_of(obs["pieces"], obs["out_of_moves"]),
                "legal": legal}

    @staticmethod
    def _infos(infos: dict[str, Any]) -> dict[str, Any]:
        return {key: value for key, value in infos.items() if key != "action_mask"}

    def close_extras(self, **kwargs: Any) -> None:
        """Nothing to release."""


class TavrinSelfPlayEnv(MultiAgentEnv):
    """One game, every seat played by RLlib; the agent to move observes (module doc's layout).
    Rewards are 0 until the game ends, then each agent's outcome in env_config["reward_mode"]
    ("win_share" by default). Actions are grid indexes; an illegal one ends the game, the
    offender getting env_config["illegal_reward"] (-1 by default, -90 in "score" mode). env_config["seed"] is accepted for symmetry with the single-agent
    env: a self-play game has no chance of its own, the module's sampling is seeded by RLlib."""

    def __init__(self, config: dict[str, Any] | None = None) -> None:
        super().__init__()  # type: ignore[no-untyped-call]
        config = _checked(config or {}, _SELF_PLAY_KEYS)
        self.reward_mode = config.get("reward_mode", "win_share")
        if self.reward_mode not in PyTavrin.reward_modes:
            raise ValueError(f"reward_mode must be one of {PyTavrin.reward_modes}, "
                             f"got {self.reward_mode!r}")
        self.illegal_reward = checked_illegal_reward(config.get("illegal_reward"), self.reward_mode)
        self.possible_agents = list(observations.AGENTS)
        self.agents = list(self.possible_agents)
        self.observation_spaces = {agent: observation_space() for agent in self.possible_agents}
        self.action_spaces = {agent: gym.spaces.Discrete(NUM_ACTIONS)
                              for agent in self.possible_agents}
        self.game = PyTavrin()
        self._acted: set[int] = set()

    def reset(self, *, seed: int | None = None,  # type: ignore[override]
              options: dict[str, Any] | None = None) -> tuple[dict[str, Any], dict[str, Any]]:
        self.game.reset()
        self._acted = set()
        pass_turns(self.game)
        mover = self.game.agent_selection
        return {AGENTS[mover]: self._observe(mover)}, {}

    def step(self, action_dict: dict[str, Any]) -> tuple[  # type: ignore[override]
            dict[str, Any], dict[str, Any], dict[str, Any], dict[str, Any], dict[str, Any]]:
        game = self.game
        mover = game.agent_selection
        agent = AGENTS[mover]
        if set(action_dict) != {agent}:
            raise ValueError(f"expected an action for {agent} alone, got {sorted(action_dict)}")
        self._acted.add(mover)
        try:
            game.step(int(action_dict[agent]))
        except (AssertionError, OverflowError, ValueError):
            # RLlib's env check steps unmasked random actions: a masked placement ends the game
            # (the offender gets the illegal reward, the others 0), as TavrinMultiAgentEnv does
            outcome: list[float] | None = [self.illegal_reward if s == mover else 0.0
                                           for s in range(NUM_SEATS)]
        else:
            pass_turns(game)
            outcome = game.outcome(self.reward_mode) if game.is_over else None
        if outcome is not None:
            # every agent that has acted ends with its outcome (and observes the final board)
            ended = sorted(self._acted)
            obs = {AGENTS[s]: self._observe(s, final=True) for s in ended}
            rewards = {AGENTS[s]: float(outcome[s]) for s in ended}
            done = {AGENTS[s]: True for s in ended}
            return obs, rewards, {**done, "__all__": True}, {"__all__": False}, {}
        following = game.agent_selection
        obs = {AGENTS[following]: self._observe(following)}
        return obs, {agent: 0.0}, {"__all__": False}, {"__all__": False}, {}

    def _observe(self, seat: int, final: bool = False) -> dict[str, np.ndarray]:
        seen = self.game.observe(seat)
        arrays = observations.observation_arrays(seen, "compact")
        mask = np.frombuffer(seen.action_mask, dtype=np.uint8)
        legal = np.zeros(LEGAL_BYTES, np.uint8) if final else np.packbits(mask)
        return {"board": arrays["board"].view(np.uint8),
                "extras": extras_of(arrays["pieces"][None], arrays["out_of_moves"][None])[0],
                "legal": legal}


_place_runner = place_runner  # the name the tests and older callers use


def single_agent(config: Any, num_envs: int = 32, channels: int = 16,
                 **env_config: Any) -> Any:
    """`config` (an AlgorithmConfig) on `TavrinVectorEnv` with `num_envs` games per env runner,
    stepped through RLlib's vector entry point, and `LegalGridModule` of `channels` width."""
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec

    from tavrin_rl.rllib_legal_module import LegalGridModule
    _checked(env_config, _SINGLE_KEYS)
    return (config.environment(TavrinVectorEnv, env_config=env_config)
            .env_runners(num_envs_per_env_runner=num_envs,
                         gym_env_vectorize_mode="vector_entry_point")
            .callbacks(on_environment_created=place_runner)
            .rl_module(rl_module_spec=RLModuleSpec(module_class=LegalGridModule,
                                                   model_config={"channels": channels})))


def self_play(config: Any, num_envs: int = 16, channels: int = 16, **env_config: Any) -> Any:
    """`config` on `TavrinSelfPlayEnv`, `num_envs` games per env runner, one `LegalGridModule`
    shared by the four seats."""
    from ray.rllib.core.rl_module.multi_rl_module import MultiRLModuleSpec
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec

    from tavrin_rl.rllib_legal_module import LegalGridModule
    _checked(env_config, _SELF_PLAY_KEYS)
    module = RLModuleSpec(module_class=LegalGridModule, model_config={"channels": channels})
    return (config.environment(TavrinSelfPlayEnv, env_config=env_config)
            .env_runners(num_envs_per_env_runner=num_envs)
            .multi_agent(policies={SHARED_POLICY},
                         policy_mapping_fn=lambda agent_id, episode, **kwargs: SHARED_POLICY)
            .rl_module(rl_module_spec=MultiRLModuleSpec(rl_module_specs={SHARED_POLICY: module})))


def snapshot_pool(folder: Any, every: int = 10, keep: int = 4) -> Any:
    """An `on_train_result` callback for `single_agent` configs: every `every` iterations it
    writes the module's net as a policy file `folder/snapshot_ITERATION.npz`, then gives each
    env runner three opponents drawn from the newest `keep` snapshots (played by the engine, as
    "policy:PATH") and rebuilds its env on fresh seeds. The folder must be readable by every
    runner (one machine, or a shared file system).

        config.callbacks(on_train_result=snapshot_pool("runs/pool", every=10))
    """
    from pathlib import Path

    if isinstance(every, bool) or not isinstance(every, int) or every < 1:
        raise ValueError(f"every must be a whole number of at least 1, not {every!r}")
    if isinstance(keep, bool) or not isinstance(keep, int) or keep < 1:
        raise ValueError(f"keep must be a whole number of at least 1, not {keep!r}")
    root = Path(folder)
    root.mkdir(parents=True, exist_ok=True)

    def on_train_result(algorithm: Any, **kwargs: Any) -> None:
        iteration = int(algorithm.iteration)
        if iteration % every:
            return
        algorithm.get_module().save_policy(root / f"snapshot_{iteration:06d}.npz",
                                           iteration=iteration)
        pool = [str(p.resolve()) for p in sorted(root.glob("snapshot_*.npz"))[-keep:]]
        generation = iteration // every

        def switch(runner: Any) -> None:
            draw = np.random.default_rng([generation, int(runner.worker_index or 0)])
            config = runner.config.env_config
            config["opponents"] = [f"policy:{pool[i]}" for i in draw.integers(len(pool), size=3)]
            config["generation"] = generation
            runner.make_env()

        algorithm.env_runner_group.foreach_env_runner(switch, local_env_runner=True)
    return on_train_result
