"""A Stable-Baselines3 `VecEnv` on the batched engine, for sb3-contrib's MaskablePPO and its kin.

    from sb3_contrib import MaskablePPO
    from tavrin_rl.sb3 import make_vec_env

    env = make_vec_env(64, seat="random", opponents="reach", seed=0)
    model = MaskablePPO("MultiInputPolicy", env, n_steps=64, batch_size=512)
    model.learn(100_000)

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

from tavrin_rl.gym.vector import VectorSingleAgentEnv

__all__ = ["TavrinVecEnv", "make_vec_env"]


class TavrinVecEnv(VecEnv):
    """`num_envs` single-agent games as one SB3 `VecEnv`; arguments as `make_vec`'s."""

    def __init__(self, num_envs: int, **kwargs: Any) -> None:
        kwargs = {**kwargs, "autoreset_mode": "same_step", "copy": True}
        self.envs = VectorSingleAgentEnv(num_envs, **kwargs)
        super().__init__(num_envs, self.envs.single_observation_space,
                         self.envs.single_action_space)
        self._actions: np.ndarray | None = None
        self._next_seed: int | None = None

    def reset(self) -> Any:
        observations, _ = self.envs.reset(seed=self._next_seed)
        self._next_seed = None
        self.reset_infos = [{} for _ in range(self.num_envs)]
        return observations

    def step_async(self, actions: np.ndarray) -> None:
        self._actions = np.asarray(actions).reshape(self.num_envs)

    def step_wait(self) -> Any:
        assert self._actions is not None, "step_async comes first"
        observations, rewards, terminations, truncations, infos = self.envs.step(self._actions)
        self._actions = None
        dones = terminations | truncations
        seats = infos["seat"]
        out: list[dict[str, Any]] = [{"seat": int(seat)} for seat in seats]
        for i in np.flatnonzero(dones).tolist():
            final_observation, final_info = infos["final_obs"][i], infos["final_info"][i]
            out[i].update(final_info)
            out[i]["terminal_observation"] = final_observation
            out[i]["TimeLimit.truncated"] = False
        return observations, rewards, dones, out

    def action_masks(self) -> np.ndarray:
        """The learner's legal actions, bool (num_envs, 36400)."""
        return self.envs.action_masks()

    def close(self) -> None:
        """Nothing to release."""

    def seed(self, seed: int | None = None) -> Sequence[None | int]:
        self._next_seed = seed
        return [seed] * self.num_envs

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        value = getattr(self.envs, attr_name)
        return [value for _ in self._get_indices(indices)]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        setattr(self.envs, attr_name, value)

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
        return [None] * self.num_envs


def make_vec_env(num_envs: int, **kwargs: Any) -> TavrinVecEnv:
    """`num_envs` single-agent games as an SB3 `VecEnv`: seat, opponents ("random", "greedy",
    "reach"), reward_mode, observation, channels_last, threads and seed as in
    `tavrin_rl.gym.make_vec`."""
    return TavrinVecEnv(num_envs, **kwargs)
