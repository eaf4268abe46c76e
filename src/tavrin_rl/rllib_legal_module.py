"""An RLlib module that computes its policy at the legal placements only, for the batched envs of
`tavrin_rl.rllib_vector`. Needs torch and Ray (the `rllib` extra).

The observation carries the legal placements as a bit set (`LEGAL_BYTES` bytes, numpy's
`packbits` order) rather than a 36,400-wide float mask: RLlib copies every observation through
its episodes and connectors, and a position has a few hundred legal placements. The module
evaluates the net at those grid indexes alone and samples with
`tavrin_rl.distributions.LegalCategorical`, so a forward pass costs the trunk plus a few hundred
dot products per position, never 36,400 logits.

RLlib's learner rebuilds the distribution from `ACTION_DIST_INPUTS`, which must be one tensor per
batch: the module writes it as each row's legal logits and their grid indexes, padded to the
batch's longest list (`pad_legal`; padding has grid index -1), and `LegalGridDistribution` reads
it back. The env runners sample in the module itself and store only a placeholder there, so PPO
must run with `use_kl_loss=False` (the clipped objective alone).
"""

from __future__ import annotations

from typing import Any

from tavrin_rl._extras import needs_extra

import os

try:
    import torch
    from ray.rllib.core.columns import Columns
    from ray.rllib.core.distribution.distribution import Distribution
    from ray.rllib.core.rl_module.apis import ValueFunctionAPI
    from ray.rllib.core.rl_module.torch import TorchRLModule
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.rllib_legal_module", "rllib", _error) from _error

from tavrin_rl.catalogue import NUM_ACTIONS
from tavrin_rl.distributions import LegalCategorical
from tavrin_rl.nets.format import save_policy
from tavrin_rl.nets.torch_net import PolicyNet

__all__ = ["LEGAL_BYTES", "LegalGridDistribution", "LegalGridModule", "build_net",
           "legal_entries", "pad_legal"]

LEGAL_BYTES = (NUM_ACTIONS + 7) // 8
_BITS = torch.tensor([128, 64, 32, 16, 8, 4, 2, 1], dtype=torch.uint8)  # packbits: high bit first


def build_net(model_config: dict[str, Any]) -> PolicyNet:
    """The policy-value net: board (B, 12, 20, 20), extras (B, 88), segment (E,), legal (E,) ->
    legal logits (E,) and values (B,), with `trunk` and `value` as `PolicyNet` has them.
    model_config: "channels" (16), "layers" (3), "hidden" (64)."""
    return PolicyNet(channels=int(model_config.get("channels", 16)),
                     layers=int(model_config.get("layers", 3)),
                     hidden=int(model_config.get("hidden", 64)))


def legal_entries(packed: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
    """(segment, grid index) of every set bit of a (B, LEGAL_BYTES) bit set."""
    packed = packed.to(torch.uint8)
    # the bytes holding any legal placement first: a few percent of them
    segment, byte = packed.nonzero(as_tuple=True)
    entry, bit = (packed[segment, byte].unsqueeze(-1) & _BITS).nonzero(as_tuple=True)
    return segment[entry], byte[entry] * 8 + bit  # row-major, as a dense mask's nonzero


def pad_legal(logits: torch.Tensor, segment: torch.Tensor, legal: torch.Tensor,
              count: int) -> torch.Tensor:
    """(count, 2K): each row's legal logits (-inf padded), then their grid indexes (-1 padded),
    K the longest row; `segment` ascending."""
    counts = torch.bincount(segment, minlength=count)
    width = max(int(counts.max()) if count else 0, 1)
    starts = torch.cumsum(counts, 0) - counts
    column = torch.arange(len(segment)) - starts[segment]
    out = torch.full((count, 2 * width), -torch.inf, dtype=logits.dtype)
    out[:, width:] = -1
    out[segment, column] = logits
    out[segment, width + column] = legal.to(logits.dtype)  # exact: grid indexes < 2**24
    return out


class LegalGridDistribution(Distribution):
    """RLlib's view of `LegalCategorical`, built from `pad_legal`'s rows."""

    def __init__(self, inputs: torch.Tensor) -> None:
        self.deterministic = False
        width = inputs.shape[1] // 2
        if width == 0:  # the env runners' placeholder: PPO builds it, and uses it only for KL
            self.inner = LegalCategorical(inputs[:0, 0], [], [], inputs.shape[0])
            return
        legal = inputs[:, width:]
        segment, column = (legal >= 0).nonzero(as_tuple=True)
        self.inner = LegalCategorical(inputs[segment, column], segment,
                                      legal[segment, column].long(), inputs.shape[0])

    @classmethod
    def from_logits(cls, logits: torch.Tensor,  # type: ignore[override]  # torch only
                    **kwargs: Any) -> "LegalGridDistribution":
        return cls(logits)

    def sample(self, *, sample_shape: Any = None, **kwargs: Any) -> torch.Tensor:
        return self.inner.mode() if self.deterministic else self.inner.sample()

    def rsample(self, *, sample_shape: Any = None, **kwargs: Any) -> torch.Tensor:
        raise NotImplementedError("a categorical has no reparametrised sample")

    def logp(self, value: torch.Tensor,  # type: ignore[override]  # torch only
             **kwargs: Any) -> torch.Tensor:
        return self.inner.log_prob(value)

    def entropy(self, **kwargs: Any) -> torch.Tensor:
        return self.inner.entropy()

    def kl(self, other: Distribution, **kwargs: Any) -> torch.Tensor:
        raise NotImplementedError("the env runners keep no legal logits: run PPO with "
                                  "use_kl_loss=False")

    def to_deterministic(self) -> "LegalGridDistribution":
        self.deterministic = True
        return self

    @staticmethod
    def required_input_dim(space: Any, **kwargs: Any) -> int:
        raise NotImplementedError("the width of the legal rows varies with the batch")


class LegalGridModule(TorchRLModule, ValueFunctionAPI):
    """The net of `build_net` over `tavrin_rl.rllib_vector`'s observations ({"board", "extras",
    "legal"}), at the legal placements only. model_config: as `build_net`'s."""

    net: PolicyNet

    def setup(self) -> None:
        config = self.model_config if isinstance(self.model_config, dict) else {}
        self.net = build_net(config)

    def get_train_action_dist_cls(self) -> type[Distribution]:  # type: ignore[override]
        return LegalGridDistribution

    def get_exploration_action_dist_cls(self) -> type[Distribution]:  # type: ignore[override]
        return LegalGridDistribution

    def get_inference_action_dist_cls(self) -> type[Distribution]:  # type: ignore[override]
        return LegalGridDistribution

    def _policy(self, batch: dict[str, Any]) -> tuple[LegalCategorical, torch.Tensor]:
        """The distribution at the legal placements and the values (B,), from one trunk pass."""
        obs = batch[Columns.OBS]
        board = obs["board"]
        segment, legal = legal_entries(obs["legal"])
        logits, values = self.net(board, obs["extras"].float(), segment, legal)
        return LegalCategorical(logits, segment, legal, board.shape[0]), values

    def _act(self, batch: dict[str, Any], explore: bool) -> dict[str, Any]:
        dist, _ = self._policy(batch)
        actions = dist.sample() if explore else dist.mode()
        logp = dist.log_prob(actions)
        # a placeholder of fixed width: the learner recomputes the distribution (no KL term)
        return {Columns.ACTIONS: actions, Columns.ACTION_LOGP: logp,
                Columns.ACTION_DIST_INPUTS: logp[:, None]}

    def _forward_exploration(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        with torch.no_grad():
            return self._act(batch, explore=True)

    def _forward_inference(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        with torch.no_grad():
            return self._act(batch, explore=False)

    def _forward(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        return self._act(batch, explore=True)

    def _forward_train(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        dist, values = self._policy(batch)
        # the values ride as the embeddings: PPO hands them back to compute_values, so the
        # trunk runs once per minibatch
        return {Columns.ACTION_DIST_INPUTS: pad_legal(dist.logits, dist.segment, dist.legal,
                                                      dist.count),
                Columns.EMBEDDINGS: values}

    def compute_values(self, batch: dict[str, Any], embeddings: Any = None) -> torch.Tensor:
        if embeddings is not None:
            return embeddings  # type: ignore[no-any-return]  # _forward_train's values
        obs = batch[Columns.OBS]
        h, _ = self.net.trunk(obs["board"], obs["extras"].float())
        return self.net.value(h)

    def save_policy(self, path: str | os.PathLike[str], **meta: Any) -> None:
        """Writes the net as a policy file, which the engine plays as "policy:PATH"; `meta`
        (JSON values) goes along."""
        save_policy(path, self.net.weights(), channels=self.net.channels, **meta)
