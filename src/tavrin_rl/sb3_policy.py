"""`GridPolicy`: sb3-contrib's MaskablePPO with the package trainer's net, whose policy head is
the action grid itself.

SB3's default policy flattens the observation into dense layers, and its last layer has 36,400
outputs: nearly all of a training step's CPU goes there, and it learns little in minutes. Here the
net is the package's torch net (`tavrin_rl.nets.torch_net.PolicyNet`, the trainer's): a
convolutional trunk over the board planes, and the logits of every placement from a 1x1
convolution with one output channel per orientation: a placement's logit is read from the cell
where it is anchored, so the head shares what it learns across the board. The mask is applied to
those logits as MaskablePPO applies it (illegal entries pushed to -1e8). Being that net, a trained
policy is written as a policy file and plays as `policy:PATH`:
`tavrin_rl.nets.save_policy(PATH, model.policy.net.weights())`.

    from sb3_contrib import MaskablePPO
    from tavrin_rl.sb3 import GridPolicy, make_vec_env

    env = make_vec_env(32, seat="random", opponents="random", seed=0)
    model = MaskablePPO(GridPolicy, env, n_steps=64, batch_size=512, gamma=1.0)

It reads the compact observation ({"board", "pieces", "out_of_moves"}, channels first or last).
Needs torch and sb3-contrib (the `[integration]` extra).
"""

from __future__ import annotations

from typing import Any

import numpy as np

from tavrin_rl._extras import needs_extra

try:
    import torch
    from gymnasium import spaces
    from sb3_contrib.common.maskable.distributions import MaskableDistribution
    from sb3_contrib.common.maskable.policies import MaskableActorCriticPolicy
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.sb3_policy", "integration", _error) from _error

from tavrin_rl.catalogue import BOARD_CHANNELS, BOARD_SIDE, NUM_ACTIONS
from tavrin_rl.distributions import LegalCategorical
from tavrin_rl.nets.torch_net import PolicyNet

__all__ = ["GridPolicy"]

_KEYS = ("board", "pieces", "out_of_moves")


class GridPolicy(MaskableActorCriticPolicy):
    """A `MaskableActorCriticPolicy` over the action grid; `channels`, `layers` and `hidden` size
    the trunk and the value head as in `PolicyNet` (policy_kwargs={"channels": 32}). The other
    arguments are MaskableActorCriticPolicy's; its dense layers (net_arch) are not used."""

    def __init__(self, observation_space: spaces.Space[Any], action_space: spaces.Space[Any],
                 lr_schedule: Any, channels: int = 16, layers: int = 3, hidden: int = 64,
                 **kwargs: Any) -> None:
        if not (isinstance(observation_space, spaces.Dict)
                and set(observation_space.spaces) == set(_KEYS)):
            raise ValueError("GridPolicy reads the compact observation (observation='compact': "
                             f"{', '.join(_KEYS)}), not {observation_space}")
        if not (isinstance(action_space, spaces.Discrete) and action_space.n == NUM_ACTIONS):
            raise ValueError(f"GridPolicy plays the action grid, Discrete({NUM_ACTIONS}), "
                             f"not {action_space}")
        for name, value in (("channels", channels), ("layers", layers), ("hidden", hidden)):
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise ValueError(f"{name} must be a whole number of at least 1, not {value!r}")
        self.net_arguments = {"channels": channels, "layers": layers, "hidden": hidden}
        board_shape = observation_space.spaces["board"].shape
        self.channels_last = board_shape == (BOARD_SIDE, BOARD_SIDE, BOARD_CHANNELS)
        kwargs.pop("net_arch", None)
        kwargs.setdefault("ortho_init", False)  # PolicyNet's own initialisation, as the trainer
        super().__init__(observation_space, action_space, lr_schedule, net_arch=[], **kwargs)

    def _build(self, lr_schedule: Any) -> None:
        self.net = PolicyNet(**self.net_arguments)
        self.optimizer = self.optimizer_class(self.parameters(), lr=lr_schedule(1),  # type: ignore[call-arg]
                                              **self.optimizer_kwargs)

    def _get_constructor_parameters(self) -> dict[str, Any]:
        return {**super()._get_constructor_parameters(), **self.net_arguments}

    # --- the net ---------------------------------------------------------------------------------

    def inputs(self, obs: dict[str, torch.Tensor]) -> tuple[torch.Tensor, torch.Tensor]:
        """The net's board (B, 12, 20, 20) and extras (B, 88) from a compact observation."""
        board = obs["board"].float()
        if self.channels_last:
            board = board.permute(0, 3, 1, 2)
        b = board.shape[0]
        extras = torch.cat([obs["pieces"].reshape(b, -1), obs["out_of_moves"].reshape(b, -1)],
                           dim=1).float()
        return board, extras

    def grid(self, obs: dict[str, torch.Tensor]) -> tuple[torch.Tensor, torch.Tensor]:
        """Logits of every grid index (B, 36400) and values (B, 1)."""
        logits, values = self.net.grid(*self.inputs(obs))
        return logits, values[:, None]

    def legal(self, obs: dict[str, torch.Tensor],
              action_masks: Any) -> tuple[LegalCategorical, torch.Tensor]:
        """The policy at the legal placements alone, and values (B, 1): the same numbers as the
        masked grid (to the -1e8 of the masking), for a fraction of the work: a position has a
        few hundred legal placements out of 36,400."""
        masks = torch.as_tensor(action_masks).reshape(-1, NUM_ACTIONS).bool()
        segment, legal = masks.nonzero(as_tuple=True)
        board, extras = self.inputs(obs)
        logits, values = self.net(board, extras, segment, legal)
        return LegalCategorical(logits, segment, legal, board.shape[0]), values[:, None]

    def _distribution(self, logits: torch.Tensor,
                      action_masks: np.ndarray | torch.Tensor | None) -> MaskableDistribution:
        distribution = self.action_dist.proba_distribution(action_logits=logits)
        if action_masks is not None:
            distribution.apply_masking(action_masks)
        return distribution

    # --- MaskableActorCriticPolicy's calls, on the grid ------------------------------------------

    def forward(self, obs: Any, deterministic: bool = False,
                action_masks: np.ndarray | None = None) -> tuple[torch.Tensor, torch.Tensor,
                                                                  torch.Tensor]:
        if action_masks is None:
            logits, values = self.grid(obs)
            distribution = self._distribution(logits, None)
            actions = distribution.get_actions(deterministic=deterministic)
            return actions, values, distribution.log_prob(actions)
        policy, values = self.legal(obs, action_masks)
        # a position without legal placements plays 0, as the engine
        actions = policy.mode() if deterministic else policy.sample()
        return actions, values, policy.log_prob(actions)

    def evaluate_actions(self, obs: Any, actions: torch.Tensor,
                         action_masks: torch.Tensor | None = None) -> tuple[
                             torch.Tensor, torch.Tensor, torch.Tensor | None]:
        if action_masks is None:
            logits, values = self.grid(obs)
            distribution = self._distribution(logits, None)
            return values, distribution.log_prob(actions), distribution.entropy()
        policy, values = self.legal(obs, action_masks)
        return values, policy.log_prob(actions), policy.entropy()

    def get_distribution(self, obs: Any,
                         action_masks: np.ndarray | None = None) -> MaskableDistribution:
        return self._distribution(self.grid(obs)[0], action_masks)

    def predict_values(self, obs: Any) -> torch.Tensor:
        h, _ = self.net.trunk(*self.inputs(obs))
        return self.net.value(h)[:, None]
