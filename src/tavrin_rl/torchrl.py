"""A TorchRL environment on the batched engine: `num_envs` games in one `EnvBase` of batch size
[num_envs], the learner in one seat of each, the opponents played in C++.

    from tavrin_rl.torchrl import make_env

    env = make_env(64, opponents="random", seat="random", seed=0)
    rollout = env.rollout(100, policy=env.random_policy, break_when_any_done=False)

Observations are "board" uint8 (N, 12, 20, 20), "pieces" uint8 (N, 4, 21), "out_of_moves" uint8
(N, 4), the learner's "seat" int64 (N,), and "action_mask" bool (N, 36400): TorchRL's masked-action
form. The action spec is a `Categorical` over the 36,400 grid indexes whose mask follows
"action_mask", so `env.rand_action()` and `ActionMask()` draw legal placements, and a policy can
sample a `MaskedCategorical` over it. That draw costs torch about a millisecond per game;
`env.random_policy` draws the same uniform legal placement in C++ (the engine's sampler).

The reward (N, 1) is the learner's outcome in `reward_mode` on the step that ends its game, 0
before. A placement the mask forbids ends that game with `illegal_reward` (strict_actions=True
raises instead), as in `tavrin_rl.gym.make_vec`. A game that has ended waits for TorchRL's partial
reset ("_reset"), as collectors and `rollout` do; its mask allows every action until then. Needs
torch, torchrl and tensordict (the `[integration]` extra).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from tavrin_rl._extras import needs_extra

try:
    import torch
    from tensordict import TensorDict, TensorDictBase
    from torchrl.data import Binary, Bounded, Categorical, Composite, Unbounded
    from torchrl.envs import EnvBase
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.torchrl", "integration", _error) from _error

from tavrin_rl.catalogue import BOARD_CHANNELS, BOARD_SIDE, NUM_ACTIONS, NUM_KINDS, NUM_SEATS
from tavrin_rl.gym.observations import ObservationMode, OpponentName, RewardMode, Seat
from tavrin_rl.gym.vector import VectorSingleAgentEnv

__all__ = ["TavrinTorchEnv", "make_env"]


class TavrinTorchEnv(EnvBase):  # type: ignore[misc]
    """`num_envs` single-agent games as one TorchRL environment; see the module's doc. The
    arguments are `tavrin_rl.gym.make_vec`'s (compact observations, channels first)."""

    def __init__(self, num_envs: int, seat: Seat = 0,
                 opponents: OpponentName | Sequence[OpponentName] = "random",
                 reward_mode: RewardMode = "win_share", threads: int | None = None,
                 seed: int | None = None, strict_actions: bool = False,
                 illegal_reward: float | None = None, device: Any = "cpu") -> None:
        observation: ObservationMode = "compact"
        self.envs = VectorSingleAgentEnv(
            num_envs, seat=seat, opponents=opponents, reward_mode=reward_mode,
            observation=observation, threads=threads, seed=seed, copy=True,
            strict_actions=strict_actions, illegal_reward=illegal_reward)
        super().__init__(device=device, batch_size=torch.Size([num_envs]))
        n = num_envs
        self._range = np.arange(n)
        self._seed: int | None = seed
        self.observation_spec = Composite(
            board=Bounded(0, 1, (n, BOARD_CHANNELS, BOARD_SIDE, BOARD_SIDE), dtype=torch.uint8),
            pieces=Bounded(0, 1, (n, NUM_SEATS, NUM_KINDS), dtype=torch.uint8),
            out_of_moves=Bounded(0, 1, (n, NUM_SEATS), dtype=torch.uint8),
            seat=Bounded(0, NUM_SEATS - 1, (n,), dtype=torch.int64),
            action_mask=Binary(n=NUM_ACTIONS, shape=(n, NUM_ACTIONS), dtype=torch.bool),
            shape=(n,))
        self.action_spec = Categorical(NUM_ACTIONS, shape=(n,), dtype=torch.int64,
                                       mask=torch.ones(n, NUM_ACTIONS, dtype=torch.bool))
        self.reward_spec = Unbounded(shape=(n, 1), dtype=torch.float32)
        flag = Categorical(2, shape=(n, 1), dtype=torch.bool)
        self.done_spec = Composite(done=flag, terminated=flag.clone(), truncated=flag.clone(),
                                   shape=(n,))

    @property
    def num_envs(self) -> int:
        return self.envs.num_envs

    def random_policy(self, tensordict: TensorDictBase) -> TensorDictBase:
        """A policy for `rollout` and collectors: one uniformly random legal placement per game,
        drawn in C++ from each game's own stream."""
        actions = torch.from_numpy(self.envs.sample_legal_actions().astype(np.int64))
        return tensordict.set("action", actions)

    # --- EnvBase ---------------------------------------------------------------------------------

    def _reset(self, tensordict: TensorDictBase | None = None, **kwargs: Any) -> TensorDictBase:
        envs = self.envs
        which = None if tensordict is None else tensordict.get("_reset", None)
        if which is None or bool(which.all()):
            seed, self._seed = self._seed, None
            envs.reset(seed=seed)
        else:
            games = which.reshape(self.num_envs).cpu().numpy()
            envs.games.reset(games=games)
            envs.seats[games] = envs._learner_seats()[games]
        return self._observation(None)

    def _step(self, tensordict: TensorDictBase) -> TensorDictBase:
        envs = self.envs
        games = envs.games
        actions = envs._checked_actions(tensordict.get("action").cpu().numpy())
        mask = games.legal_action_mask
        assert mask is not None
        # A finished game waits for its reset: it is neither stepped nor paid again.
        waiting = games.current_player < 0
        illegal = ~mask[self._range, actions] & ~waiting
        if illegal.any() and envs.strict_actions:
            i = int(np.argmax(illegal))
            raise ValueError(f"game {i}: action {int(actions[i])} is not a legal placement for "
                             f"the learner; no game has changed")
        played = ~illegal & ~waiting
        games.step(actions, games=played)
        finished = games.terminated & played
        reward = np.where(finished, games.rewards[self._range, envs.seats], 0).astype(np.float32)
        reward[illegal] = envs.illegal_reward
        ended = finished | illegal
        finals = ({i: envs._final(i, bool(illegal[i])) for i in np.flatnonzero(ended).tolist()}
                  if ended.any() else None)
        out = self._observation(finals, ended | waiting)
        done = torch.from_numpy(ended | waiting)[:, None]
        out.set("reward", torch.from_numpy(reward)[:, None])
        out.set("done", done)
        out.set("terminated", done.clone())
        out.set("truncated", torch.zeros_like(done))
        return out

    def _reset_proc_data(self, tensordict: TensorDictBase | None,
                         tensordict_reset: TensorDictBase) -> TensorDictBase:
        # TorchRL merges a partial reset's output into the input with `where` over every entry
        # (the 36,400-wide mask too), which cost more than the step itself. `_reset` already
        # returns every game's current arrays, the games that restarted and the others, so the
        # merge is a plain update. (A private hook: torchrl is pinned below 0.15.)
        self._complete_done(self.full_done_spec, tensordict_reset)
        self._reset_check_done(tensordict, tensordict_reset)
        if tensordict is None:
            return tensordict_reset
        tensordict.pop("_reset", None)
        return tensordict.update(tensordict_reset)

    def _set_seed(self, seed: int | None) -> None:
        # The next full reset plays it; TorchRL's own convention is to reset after seeding.
        self._seed = seed

    # --- helpers ---------------------------------------------------------------------------------

    def _observation(self, finals: dict[int, tuple[Any, dict[str, Any]]] | None,
                     waiting: np.ndarray | None = None) -> TensorDictBase:
        envs = self.envs
        arrays = envs._observe(finals)
        mask = envs.games.legal_action_mask
        assert mask is not None
        mask = mask.copy()
        if waiting is not None and waiting.any():
            mask[waiting] = True  # any action: it is ignored until the game's reset
        mask_tensor = torch.from_numpy(mask)
        self.action_spec.update_mask(mask_tensor)
        return TensorDict({
            "board": torch.from_numpy(arrays["board"]),
            "pieces": torch.from_numpy(arrays["pieces"]),
            "out_of_moves": torch.from_numpy(arrays["out_of_moves"]),
            "seat": torch.from_numpy(envs.seats.copy()),
            "action_mask": mask_tensor,
        }, batch_size=self.batch_size, device=self.device)


def make_env(num_envs: int, seat: Seat = 0,
             opponents: OpponentName | Sequence[OpponentName] = "random",
             reward_mode: RewardMode = "win_share", threads: int | None = None,
             seed: int | None = None, strict_actions: bool = False,
             illegal_reward: float | None = None, device: Any = "cpu") -> TavrinTorchEnv:
    """`num_envs` single-agent games on the batched engine as a TorchRL `EnvBase`; see
    `TavrinTorchEnv`."""
    return TavrinTorchEnv(num_envs, seat=seat, opponents=opponents, reward_mode=reward_mode,
                          threads=threads, seed=seed, strict_actions=strict_actions,
                          illegal_reward=illegal_reward, device=device)
