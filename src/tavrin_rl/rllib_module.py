"""The default RLModule of `tavrin_rl.rllib.shared_module()`: the package's torch net
(`tavrin_rl.nets.torch_net.PolicyNet`) on the RLlib env's observations, with RLlib's
action-masking convention (the mask comes in the observation). Needs torch: the `rllib` extra
(`pip install '.[rllib]'` in the clone).

RLlib cannot build a default network for a Dict observation ("No default encoder config"), so the
env is unusable with PPO until a module that reads "observations" and "action_mask" is given. Its
net being the trainer's, what RLlib learns is written as a policy file and plays as
`policy:PATH` everywhere else: `module.save_policy(PATH)`.
"""

from __future__ import annotations

import os
from typing import Any

from tavrin_rl._extras import needs_extra

try:
    import torch
    from ray.rllib.core.columns import Columns
    from ray.rllib.core.rl_module.apis import ValueFunctionAPI
    from ray.rllib.core.rl_module.torch import TorchRLModule
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.rllib_module", "rllib", _error) from _error

import numpy as np

from tavrin_rl.catalogue import BOARD_CHANNELS, BOARD_SIDE, FLAT_SIZE
from tavrin_rl.nets.format import save_policy
from tavrin_rl.nets.torch_net import PolicyNet

# The observation is the engine's flat layout (as `tavrin_rl.rllib` declares it): the board
# planes, then the pieces held and the out-of-moves flags, which are the net's board and extras.
SIDE = BOARD_SIDE
BOARD_PLANES = BOARD_CHANNELS
PLANES = BOARD_PLANES * SIDE * SIDE  # the board's share of the flat observation
EXTRA = FLAT_SIZE - PLANES
FLOAT_MIN = torch.finfo(torch.float32).min  # a masked logit: no probability, and no NaN


class MaskedGridModule(TorchRLModule, ValueFunctionAPI):
    """`PolicyNet` as an RLModule: convolutions over the 12 board planes, and a 1 × 1 convolution
    to one channel per orientation, which gives a logit per orientation and anchor cell: the
    action grid (91, 20, 20) itself, so the policy head has a few thousand weights instead of the
    millions of a dense layer onto 36400 actions. The pieces and done flags add a bias to the
    first convolution and one per orientation. Illegal placements get the lowest logit:
    log(mask) clamped to the float range is added to the logits. model_config: {"channels":
    width of the trunk, default 16; "layers": 3x3 convolutions, default 3; "hidden": the value
    head's units, default 64}."""

    def setup(self) -> None:
        config = self.model_config if isinstance(self.model_config, dict) else {}
        self.net = PolicyNet(channels=int(config.get("channels", 16)),
                             layers=int(config.get("layers", 3)),
                             hidden=int(config.get("hidden", 64)))

    @staticmethod
    def _inputs(flat: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """The net's board planes (B, 12, 20, 20) and extras (B, 88) of flat observations."""
        return flat[:, :PLANES].reshape(-1, BOARD_PLANES, SIDE, SIDE), flat[:, PLANES:]

    def _outputs(self, batch: dict[str, Any]) -> dict[str, Any]:
        h, orientation_bias = self.net.trunk(*self._inputs(batch[Columns.OBS]["observations"]))
        mask = batch[Columns.OBS]["action_mask"]
        return {
            Columns.ACTION_DIST_INPUTS: self.net.grid_logits(h, orientation_bias)
            + torch.clamp(torch.log(mask), min=FLOAT_MIN),
            # the learner hands these back to compute_values: the board is convolved once
            Columns.EMBEDDINGS: h,
        }

    def _forward(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        return {Columns.ACTION_DIST_INPUTS: self._outputs(batch)[Columns.ACTION_DIST_INPUTS]}

    def _forward_train(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        return self._outputs(batch)

    def compute_values(self, batch: dict[str, Any], embeddings: Any = None) -> torch.Tensor:
        if embeddings is None:
            embeddings, _ = self.net.trunk(*self._inputs(batch[Columns.OBS]["observations"]))
        return self.net.value(embeddings)

    def policy_weights(self) -> dict[str, np.ndarray]:
        """The net's weights as a policy file holds them (float32, by state-dict name)."""
        return self.net.weights()

    def save_policy(self, path: str | os.PathLike[str], **meta: Any) -> None:
        """Writes the net as a policy file (`tavrin_rl.nets.save_policy`), `meta` (JSON values)
        along: it then plays as `policy:PATH` in every agent, seat, arena and dataset run."""
        save_policy(path, self.net.weights(), channels=self.net.channels, **meta)
