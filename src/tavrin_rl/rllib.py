"""An RLlib `MultiAgentEnv` for RLlib's current API stack (RLModules, env runners).

    from ray.rllib.algorithms.ppo import PPOConfig
    from tavrin_rl.rllib import TavrinMultiAgentEnv, place_runner, shared_module, shared_policy

    config = (PPOConfig().environment(TavrinMultiAgentEnv, env_config={"reward_mode": "win_share"})
              .multi_agent(**shared_policy())
              .rl_module(rl_module_spec=shared_module())
              .callbacks(on_environment_created=place_runner))
    algo = config.build_algo()

RLlib has no default network for a Dict observation: `shared_module()` gives the shared policy
`tavrin_rl.rllib_module.MaskedGridModule` (torch), which reads the observation and masks the
illegal placements; pass your own `MultiRLModuleSpec` to `rl_module` instead to change it.

The agents are "player_0" to "player_3". Only the agent to move gets an observation, a dict in
RLlib's action-masking convention:

- "observations": float32 (4888,), the mover's compact view in its own frame, flattened: the 12
  board planes (cells, corners, blocked of seats 0 to 3, each 20 × 20), then the pieces each seat
  holds (4 × 21) and the seats' done flags (4);
- "action_mask": float32 (36400,), 1 where the grid index is a legal placement.

The action is the grid index (`Discrete(36400)`), a whole number. Agents out of moves are passed
inside the env. Rewards are 0 until the game ends; then every agent gets its outcome in
`reward_mode` and the episode terminates for all. An illegal action (a masked placement, an index
outside the grid, or a number that is not whole: 3.7, NaN) ends the game at once, as the
PettingZoo env's wrapper does: the offender gets `illegal_reward` (a finite number; default -1,
or -90 in "score" mode, below any score) and the others 0. (RLlib's env check steps unmasked
random actions, so raising would stop training before it starts.) Once the episode has ended,
`step` raises RuntimeError until `reset`. Seats listed in `opponents` are played inside the env
by the built-in agents ("random", "greedy", "reach"), for training or evaluating against them.
Their seeds follow `runner_seeds`: sub-env i of env runner w draws from `seed + w * n + i` (n envs
per runner), once `place_runner` has told each env its place:
`config.callbacks(on_environment_created=place_runner)`. Needs the `rllib` extra (`pip install '.[rllib]'` in the clone).
"""

from __future__ import annotations

import numbers
import operator
from typing import Any

import numpy as np

from tavrin_rl._extras import needs_extra

try:
    import gymnasium as gym
    from ray.rllib.env.multi_agent_env import MultiAgentEnv
    from ray.rllib.utils.typing import MultiAgentDict
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.rllib", "rllib", _error) from _error

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents import AGENTS, AgentConfig, agent_config, pass_turns
from tavrin_rl.catalogue import BOARD_CHANNELS, BOARD_SIDE, FLAT_SIZE, NUM_ACTIONS, NUM_SEATS
from tavrin_rl.gym import observations
from tavrin_rl.gym.observations import EPISODE_OVER, checked_illegal_reward, flat_observation

AGENT_IDS = observations.AGENTS  # "player_0" to "player_3", as in the other environments
PLANES = BOARD_CHANNELS * BOARD_SIDE * BOARD_SIDE
OBSERVATION_SIZE = FLAT_SIZE  # the engine's flat layout: the board planes, then pieces and done
SHARED_POLICY = "shared"


GENERATION_STRIDE = 2**32  # a generation's games lie above all of the previous one's


def runner_seeds(root: int, worker_index: int, num_envs: int, generation: int = 0) -> list[int]:
    """The seeds of env runner `worker_index`'s `num_envs` games (or sub-envs) from one root seed:
    game i plays `root + worker_index * num_envs + i`, so no two runners or games share a stream
    (RLlib's own rule, its seed + worker index + i, gives runner 1's game 0 runner 0's game 1)."""
    first = root + generation * GENERATION_STRIDE + worker_index * num_envs
    return list(range(first, first + num_envs))


def place_runner(env_runner: Any = None, metrics_logger: Any = None, env: Any = None,
                 env_context: Any = None, **kwargs: Any) -> None:
    """RLlib's `on_environment_created` callback: tells each env its runner's index and, for the
    several envs of a multi-agent runner (which all get the same EnvContext), its own index."""
    if env_context is None:
        return
    worker_index = int(getattr(env_context, "worker_index", 0) or 0)
    envs = getattr(env, "envs", None)
    inners = [getattr(sub, "unwrapped", sub) for sub in envs] if envs is not None else [
        getattr(env, "unwrapped", env)]
    for index, inner in enumerate(inners):
        if hasattr(inner, "place"):
            inner.place(worker_index, index, len(inners))


def observation_space() -> gym.spaces.Dict:
    return gym.spaces.Dict({
        "observations": gym.spaces.Box(0.0, 1.0, (OBSERVATION_SIZE,), np.float32),
        "action_mask": gym.spaces.Box(0.0, 1.0, (NUM_ACTIONS,), np.float32),
    })


def shared_policy() -> dict[str, Any]:
    """Keyword arguments for `AlgorithmConfig.multi_agent`: one policy for all four seats."""
    return {"policies": {SHARED_POLICY},
            "policy_mapping_fn": lambda agent_id, episode, **kwargs: SHARED_POLICY}


def shared_module(channels: int = 16) -> Any:
    """`rl_module_spec` for `AlgorithmConfig.rl_module`: the shared policy of `shared_policy()`
    as a `tavrin_rl.rllib_module.MaskedGridModule` with `channels` in its trunk. Needs torch."""
    if isinstance(channels, bool) or not isinstance(channels, int) or channels < 1:
        raise ValueError(f"channels must be a whole number of at least 1, got {channels!r}")
    from ray.rllib.core.rl_module.multi_rl_module import MultiRLModuleSpec
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec

    from tavrin_rl.rllib_module import MaskedGridModule  # torch loads here, not with the env
    module = RLModuleSpec(module_class=MaskedGridModule, model_config={"channels": channels})
    return MultiRLModuleSpec(rl_module_specs={SHARED_POLICY: module})


class TavrinMultiAgentEnv(MultiAgentEnv):
    """One game per env; see the module's doc for the observations, actions and rewards.

    env_config keys: "reward_mode" ("score", "win_share" or "rank"; default "win_share"),
    "opponents" ({seat: agent name}; default none: RLlib plays every seat), "illegal_reward",
    "seed" (the built-in opponents' choices; default: fresh entropy; see `runner_seeds`).
    """

    def __init__(self, config: dict[str, Any] | None = None) -> None:
        super().__init__()  # type: ignore[no-untyped-call]
        # RLlib's EnvContext carries the runner's and the sub-env's index as attributes
        self.worker_index = int(getattr(config, "worker_index", 0) or 0)
        self.vector_index = int(getattr(config, "vector_index", 0) or 0)
        config = dict(config or {})
        self.reward_mode = config.pop("reward_mode", "win_share")
        if self.reward_mode not in PyTavrin.reward_modes:
            raise ValueError(f"reward_mode must be one of {PyTavrin.reward_modes}, "
                             f"got {self.reward_mode!r}")
        self.illegal_reward = checked_illegal_reward(config.pop("illegal_reward", None),
                                                     self.reward_mode)
        opponents = {int(seat): name for seat, name in dict(config.pop("opponents", {})).items()}
        if not set(opponents) <= set(range(NUM_SEATS)) or len(opponents) == NUM_SEATS:
            raise ValueError(f"opponents must name some of the seats 0 to {NUM_SEATS - 1}, not all: "
                             f"{sorted(opponents)}")
        #: Each opponent seat's `AgentConfig`, read once: every reset makes fresh agents of it.
        self.opponent_configs: dict[int, AgentConfig] = {}
        for seat, name in opponents.items():
            if not isinstance(name, (str, AgentConfig)):
                raise ValueError(f"unknown opponent {name!r} (choose from {', '.join(AGENTS)})")
            try:  # "policy:PATH" and "mcts:..." too: refused here when wrong
                self.opponent_configs[seat] = agent_config(name).check()
            except ValueError as error:
                raise ValueError(f"unknown opponent {name!r} for seat(s) "
                                 f"{sorted(s for s, n in opponents.items() if n == name)}: "
                                 f"{error}") from None
        self.opponent_names = opponents
        seed = config.pop("seed", None)
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int) or seed < 0):
            raise ValueError(f"env_config seed must be a whole number of at least 0, not {seed!r}")
        for key in config:  # RLlib adds a few of its own (worker_index and the like)
            if not isinstance(key, str) or not key.startswith(("worker", "vector", "num_")):
                raise ValueError(f"unknown env_config key {key!r}")
        self.learners = [seat for seat in range(NUM_SEATS) if seat not in opponents]
        self.possible_agents = [AGENT_IDS[seat] for seat in self.learners]
        self.agents = list(self.possible_agents)
        self.observation_spaces = {agent: observation_space() for agent in self.possible_agents}
        self.action_spaces = {agent: gym.spaces.Discrete(NUM_ACTIONS)
                              for agent in self.possible_agents}
        self.num_envs = int(config.get("num_envs", 1))
        self.game = PyTavrin()
        # The seed drives the built-in opponents' choices from the first reset on (drawn then,
        # once `place_runner` has placed the env); a seed given to reset replaces it.
        self.root_seed: int | None = seed
        self.rng: np.random.Generator | None = None
        self.opponents: dict[int, Any] = {}
        self._over = True  # until the first reset

    def place(self, worker_index: int, vector_index: int, num_envs: int) -> None:
        """This env is sub-env `vector_index` of `num_envs` on env runner `worker_index`."""
        self.worker_index, self.vector_index, self.num_envs = worker_index, vector_index, num_envs
        self.rng = None  # RLlib's env check may have reset it unplaced: the next reset redraws

    def stream_seed(self, reset_seed: int | None = None) -> int | None:
        """This env's seed: from `reset_seed` (RLlib's: its seed + worker index + vector index)
        or else env_config["seed"], by `runner_seeds`."""
        root = self.root_seed
        if reset_seed is not None:
            root = reset_seed - self.worker_index - self.vector_index
        if root is None:
            return None
        return runner_seeds(root, self.worker_index, self.num_envs)[self.vector_index]

    def reset(  # type: ignore[override]  # gymnasium's single-agent reset, as in MultiAgentEnv
            self, *, seed: int | None = None,
            options: dict[str, Any] | None = None) -> tuple[MultiAgentDict, MultiAgentDict]:
        if seed is not None or self.rng is None:
            self.rng = np.random.default_rng(self.stream_seed(seed))
        self.opponents = {seat: config.make(int(self.rng.integers(2**63)))
                          for seat, config in self.opponent_configs.items()}
        self.game.reset()
        self._over = False
        self._advance()
        mover = self.game.agent_selection
        observations: MultiAgentDict = {AGENT_IDS[mover]: self._observe(mover)}
        return observations, {}

    def step(  # type: ignore[override]  # gymnasium's single-agent step, as in MultiAgentEnv
            self, action_dict: MultiAgentDict) -> tuple[MultiAgentDict, MultiAgentDict,
                                                        MultiAgentDict, MultiAgentDict,
                                                        MultiAgentDict]:
        if self._over:
            raise RuntimeError(EPISODE_OVER)
        mover = self.game.agent_selection
        agent_id = AGENT_IDS[mover]
        if set(action_dict) != {agent_id}:
            raise ValueError(f"expected an action for {agent_id} alone, got {sorted(map(str, action_dict))}")
        action = action_dict[agent_id]
        index = _grid_index(action)
        try:
            if index is None:
                raise ValueError(f"{action!r} is not a grid index")
            self.game.step(index)
        except (AssertionError, OverflowError, ValueError):  # illegal, or not a grid index
            return self._end({seat: self.illegal_reward if seat == mover else 0.0
                              for seat in self.learners}, {"illegal_action": action})
        self._advance()
        if not self.game.is_over:
            following = self.game.agent_selection
            # RLlib wants a reward for the agent that acted, and for the one that observes if
            # it acted before (it may be the same agent, when the others are out of moves)
            observations: MultiAgentDict = {AGENT_IDS[following]: self._observe(following)}
            rewards: MultiAgentDict = {agent_id: 0.0, AGENT_IDS[following]: 0.0}
            going_on: MultiAgentDict = {"__all__": False}
            return observations, rewards, going_on, dict(going_on), {}
        outcome = self.game.outcome(self.reward_mode)
        assert outcome is not None
        return self._end({seat: float(outcome[seat]) for seat in self.learners}, {})

    def _end(self, rewards: dict[int, float], info: dict[str, Any]) -> tuple[
            MultiAgentDict, MultiAgentDict, MultiAgentDict, MultiAgentDict, MultiAgentDict]:
        """The last step of an episode: every learner observes, is rewarded and terminates."""
        self._over = True
        observations: MultiAgentDict = {AGENT_IDS[seat]: self._observe(seat)
                                        for seat in self.learners}
        paid: MultiAgentDict = {AGENT_IDS[seat]: reward for seat, reward in rewards.items()}
        terminated: MultiAgentDict = {AGENT_IDS[seat]: True for seat in self.learners}
        terminated["__all__"] = True
        truncated: MultiAgentDict = {"__all__": False}
        infos: MultiAgentDict = {AGENT_IDS[seat]: {"scores": self.game.scores, **info}
                                 for seat in self.learners}
        return observations, paid, terminated, truncated, infos

    def _advance(self) -> None:
        """Plays passes and the built-in opponents' moves until a learner is to move."""
        game = self.game
        while True:
            pass_turns(game)
            agent = game.agent_selection
            if game.is_over or agent not in self.opponents:
                return
            # From the game: the same choice as from its mask, and the search agent needs it.
            game.step(self.opponents[agent].act(None, game=game))

    def _observe(self, agent: int) -> dict[str, np.ndarray]:
        seen = self.game.observe(agent)
        return {"observations": flat_observation(seen).astype(np.float32),
                "action_mask": np.frombuffer(seen.action_mask, dtype=np.uint8).astype(np.float32)}


def _grid_index(action: Any) -> int | None:
    """`action` as an int when it is a whole number (numpy scalars and 0-d arrays too); None for
    any other number (3.7, NaN, inf), which is played as an illegal move. Anything that is not a
    number raises TypeError: that is a fault of the caller, not a move."""
    if isinstance(action, np.ndarray) and action.ndim == 0:
        action = action.item()
    if isinstance(action, numbers.Integral):
        return operator.index(action)
    if isinstance(action, numbers.Real):
        value = float(action)
        return int(value) if value.is_integer() else None
    raise TypeError(f"an action is a grid index, not {type(action).__name__}")
