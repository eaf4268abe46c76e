"""A Stable-Baselines3 `VecEnv` on the batched engine, for sb3-contrib's MaskablePPO and its kin.

    from sb3_contrib import MaskablePPO
    from tavrin_rl.sb3 import GridPolicy, make_vec_env

    env = make_vec_env(32, seat="random", opponents="random", seed=0)
    model = MaskablePPO(GridPolicy, env, n_steps=64, batch_size=512, gamma=1.0)
    model.learn(100_000)

`GridPolicy` (from `tavrin_rl.sb3_policy`, loaded on first use) is the package trainer's net: a
convolutional trunk whose policy head is the action grid, which learns where SB3's default dense
policy ("MultiInputPolicy", 36,400 outputs from a flattened board) barely moves in minutes.

SB3 refuses Gymnasium's vector environments; this adapter speaks its own `VecEnv` API over
`tavrin_rl.gym.VectorSingleAgentEnv` in same-step autoreset (SB3's convention: the observation
after a finished game is the next game's, and `infos[i]["terminal_observation"]` holds the last
one). `env_method("action_masks")` answers with the learner's legal actions, which is what
MaskablePPO asks for. Observations are copies the caller owns: SB3's rollout buffer keeps them.
Needs stable-baselines3 (the `[integration]` extra installs it with sb3-contrib).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from tavrin_rl._extras import needs_extra

try:
    from stable_baselines3.common.vec_env.base_vec_env import VecEnv, VecEnvIndices
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.sb3", "integration", _error) from _error

from tavrin_rl.gym.observations import board_image, checked_illegal_reward
from tavrin_rl.gym.vector import VectorSingleAgentEnv

__all__ = ["GridPolicy", "TavrinVecEnv", "make_vec_env"]


def __getattr__(name: str) -> Any:
    # The policy needs sb3-contrib on top of SB3: loaded when asked for, not with the env.
    if name == "GridPolicy":
        try:
            from tavrin_rl.sb3_policy import GridPolicy
        except ImportError as error:
            raise ImportError(f"GridPolicy needs sb3-contrib and torch ({error}): "
                              "pip install '.[integration]'") from error
        return GridPolicy
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class TavrinVecEnv(VecEnv):
    """`num_envs` single-agent games as one SB3 `VecEnv`; arguments as `make_vec`'s.

    The options made with the environment (reward_mode, observation, seat, opponents...) are
    fixed in the engine: `set_attr` refuses them rather than change a value the engine would not
    follow. "illegal_reward" and "strict_actions" apply to every game at once and can be set for
    all of them. Any other name is the caller's own and is kept per game, so that `indices`
    hold. `get_attr("seat")` gives each game's learner seat.
    """

    #: What `set_attr` may change: the rest is fixed when the engine is made.
    SETTABLE = ("illegal_reward", "strict_actions")

    def __init__(self, num_envs: int, **kwargs: Any) -> None:
        kwargs = {**kwargs, "autoreset_mode": "same_step", "copy": True}
        self.envs = VectorSingleAgentEnv(num_envs, **kwargs)
        self._own: list[dict[str, Any]] = [{} for _ in range(num_envs)]
        super().__init__(num_envs, self.envs.single_observation_space,
                         self.envs.single_action_space)
        self._actions: np.ndarray | None = None

    def reset(self) -> Any:
        # SB3's seed(s) asked for [s, s + 1, ...] (its own convention): the vector env's list.
        seeds = None if all(s is None for s in self._seeds) else list(self._seeds)
        observations, infos = self.envs.reset(seed=seeds)
        self._reset_seeds()
        self._reset_options()
        self.reset_infos = [self._reset_info(infos, i) for i in range(self.num_envs)]
        return observations

    def step_async(self, actions: np.ndarray) -> None:
        self._actions = np.asarray(actions).reshape(self.num_envs)

    def step_wait(self) -> Any:
        assert self._actions is not None, "step_async comes first"
        actions, self._actions = self._actions, None
        observations, rewards, terminations, truncations, infos = self.envs.step(actions)
        dones = terminations | truncations
        seats = infos["seat"]
        out: list[dict[str, Any]] = [{"seat": int(seat)} for seat in seats]
        if dones.any():
            final_info = infos["final_info"]
            keys = [key for key in final_info if not key.startswith("_")]
            for i in np.flatnonzero(dones).tolist():
                out[i].update({key: final_info[key][i] for key in keys
                               if final_info[f"_{key}"][i]})
                out[i]["terminal_observation"] = infos["final_obs"][i]
                out[i]["TimeLimit.truncated"] = bool(truncations[i] and not terminations[i])
                self.reset_infos[i] = self._reset_info(infos, i)
        return observations, rewards, dones, out

    def action_masks(self) -> np.ndarray:
        """The learner's legal actions, bool (num_envs, 36400)."""
        return self.envs.action_masks()

    def close(self) -> None:
        """Nothing to release."""

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        rows = list(self._get_indices(indices))
        if attr_name == "seat":
            return [int(self.envs.seats[i]) for i in rows]
        own = [self._own[i] for i in rows]
        if any(attr_name in values for values in own):
            return [values.get(attr_name) for values in own]
        value = getattr(self.envs, attr_name)
        return [value for _ in rows]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        rows = list(self._get_indices(indices))
        if attr_name in self.SETTABLE:
            if sorted(set(rows)) != list(range(self.num_envs)):
                raise ValueError(f"{attr_name} applies to every game at once: set it without "
                                 f"indices")
            if attr_name == "illegal_reward":
                value = checked_illegal_reward(value, self.envs.reward_mode)
            elif not isinstance(value, bool):
                raise TypeError(f"strict_actions must be True or False, not {value!r}")
            setattr(self.envs, attr_name, value)
            return
        if attr_name == "seat" or hasattr(self.envs, attr_name):
            raise ValueError(f"{attr_name} is fixed when the environment is made (make_vec_env("
                             f"..., {attr_name}=...)); set_attr can change "
                             f"{' and '.join(self.SETTABLE)}, or names of your own")
        for i in rows:
            self._own[i][attr_name] = value

    def env_method(self, method_name: str, *method_args: Any, indices: VecEnvIndices = None,
                   **method_kwargs: Any) -> list[Any]:
        """"action_masks" gives each game's mask (one call for all of them); other names call
        the vector environment once and hand its result to each game."""
        rows = list(self._get_indices(indices))
        if method_name == "action_masks":
            masks = self.action_masks()
            return [masks[i] for i in rows]
        result = getattr(self.envs, method_name)(*method_args, **method_kwargs)
        return [result for _ in rows]

    def env_is_wrapped(self, wrapper_class: type, indices: VecEnvIndices = None) -> list[bool]:
        return [False for _ in self._get_indices(indices)]

    def get_images(self) -> Sequence[np.ndarray | None]:
        """Each game's board as an RGB image, with render_mode="rgb_array"."""
        if self.render_mode != "rgb_array":
            return [None] * self.num_envs
        return [board_image(self.envs.games.game(i).to_bytes()) for i in range(self.num_envs)]

    @staticmethod
    def _reset_info(infos: dict[str, Any], i: int) -> dict[str, Any]:
        """Game i's reset info, as `SingleAgentEnv.reset` gives it."""
        return {"action_mask": infos["action_mask"][i], "seat": int(infos["seat"][i])}


def make_vec_env(num_envs: int, **kwargs: Any) -> TavrinVecEnv:
    """`num_envs` single-agent games as an SB3 `VecEnv`: seat, opponents ("random", "greedy",
    "reach", "mcts", "baseline", "policy:PATH": the engine plays them all, nets included),
    reward_mode, observation, channels_last, threads and seed as in `tavrin_rl.gym.make_vec`."""
    return TavrinVecEnv(num_envs, **kwargs)
