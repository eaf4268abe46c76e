"""The default RLModule of `tavrin_rl.rllib.shared_module()`: a policy and value network for the
RLlib env's observations, with RLlib's action-masking convention (the mask comes in the
observation). Needs torch: the `rllib` extra (`pip install '.[rllib]'` in the clone).

RLlib cannot build a default network for a Dict observation ("No default encoder config"), so the
env is unusable with PPO until a module that reads "observations" and "action_mask" is given.
"""

from __future__ import annotations

from typing import Any

from tavrin_rl._extras import needs_extra

try:
    import torch
    from ray.rllib.core.columns import Columns
    from ray.rllib.core.rl_module.apis import ValueFunctionAPI
    from ray.rllib.core.rl_module.torch import TorchRLModule
    from torch import nn
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.rllib_module", "rllib", _error) from _error

from tavrin_rl.catalogue import BOARD_CHANNELS, BOARD_SIDE, FLAT_SIZE, NUM_ACTIONS

# The observation is the engine's flat layout (as `tavrin_rl.rllib` declares it): the board
# planes, then the pieces held and the out-of-moves flags.
SIDE = BOARD_SIDE
BOARD_PLANES = BOARD_CHANNELS
PLANES = BOARD_PLANES * SIDE * SIDE  # the board's share of the flat observation
EXTRA = FLAT_SIZE - PLANES
ORIENTATIONS = NUM_ACTIONS // (SIDE * SIDE)  # the action grid is (orientation, row, column)
FLOAT_MIN = torch.finfo(torch.float32).min  # a masked logit: no probability, and no NaN


class MaskedGridModule(TorchRLModule, ValueFunctionAPI):
    """Convolutions over the 12 board planes. A 1 × 1 convolution to one channel per orientation
    gives a logit per orientation and anchor cell: the action grid (91, 20, 20) itself, so the
    policy head has a few thousand weights instead of the millions of a dense layer onto 36400
    actions. The pieces and done flags add a bias per orientation and feed the value. Illegal
    placements get the lowest logit: log(mask) clamped to the float range is added to the
    logits. model_config: {"channels": width of the trunk, default 16}."""

    def setup(self) -> None:
        config = self.model_config if isinstance(self.model_config, dict) else {}
        width = int(config.get("channels", 16))
        self.trunk = nn.Sequential(
            nn.Conv2d(BOARD_PLANES, width, 3, padding=1), nn.ReLU(),
            nn.Conv2d(width, width, 3, padding=1), nn.ReLU())
        self.grid = nn.Conv2d(width, ORIENTATIONS, 1)
        self.extra = nn.Linear(EXTRA, ORIENTATIONS)
        self.value = nn.Sequential(nn.Linear(width + EXTRA, 64), nn.ReLU(), nn.Linear(64, 1))

    def _embed(self, flat: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        features = self.trunk(flat[:, :PLANES].reshape(-1, BOARD_PLANES, SIDE, SIDE))
        return features, torch.cat([features.mean((2, 3)), flat[:, PLANES:]], 1)

    def _outputs(self, batch: dict[str, Any]) -> dict[str, Any]:
        flat = batch[Columns.OBS]["observations"]
        features, embeddings = self._embed(flat)
        logits = self.grid(features) + self.extra(flat[:, PLANES:])[:, :, None, None]
        mask = batch[Columns.OBS]["action_mask"]
        return {
            Columns.ACTION_DIST_INPUTS: logits.flatten(1)
            + torch.clamp(torch.log(mask), min=FLOAT_MIN),
            # the learner hands these back to compute_values: the board is convolved once
            Columns.EMBEDDINGS: embeddings,
        }

    def _forward(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        return {Columns.ACTION_DIST_INPUTS: self._outputs(batch)[Columns.ACTION_DIST_INPUTS]}

    def _forward_train(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        return self._outputs(batch)

    def compute_values(self, batch: dict[str, Any], embeddings: Any = None) -> torch.Tensor:
        if embeddings is None:
            _, embeddings = self._embed(batch[Columns.OBS]["observations"])
        values: torch.Tensor = self.value(embeddings)
        return values.squeeze(-1)
