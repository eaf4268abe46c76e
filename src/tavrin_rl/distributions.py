"""A categorical distribution over the legal placements only, for torch training loops.

A position has a few hundred legal placements out of 36,400 grid indexes. torch's `Categorical`
over the whole masked grid pays for all 36,400 in every sample, log-probability and entropy (for
32 positions, about 100 ms a step on one core); `LegalCategorical` keeps the legal entries alone,
as one flat list with each entry's position (`segment`), and gives the same numbers:

    from tavrin_rl.distributions import LegalCategorical

    dist = LegalCategorical.from_grid(logits, mask)          # (B, 36400) logits, bool/int mask
    actions = dist.sample()                                  # (B,) grid indexes
    dist.log_prob(actions), dist.entropy()                   # (B,) each, differentiable

or, from a net that computes only the legal logits (`tavrin_rl.nets.torch_net.PolicyNet.forward`):

    segment, legal = mask.nonzero(as_tuple=True)
    logits, values = net(board, extras, segment, legal)
    dist = LegalCategorical(logits, segment, legal, count=len(board))

A position without a legal placement (a finished game) plays grid index 0, with log-probability
0 and entropy 0, so that a batch may hold it; an action that is not legal has log-probability
-inf, as under the dense masked distribution.
"""

from __future__ import annotations

from typing import Any

from tavrin_rl._extras import needs_extra

try:
    import torch
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.distributions", "train", _error) from _error

from tavrin_rl.catalogue import NUM_ACTIONS
from tavrin_rl.nets.torch_net import segment_log_softmax

__all__ = ["LegalCategorical", "segment_log_softmax"]


class LegalCategorical:
    """One categorical distribution per position over its legal grid indexes.

    logits (E,): the legal entries' logits; segment (E,): each entry's position in [0, count),
    in ascending order or not; legal (E,): each entry's grid index; count: the positions (B)."""

    def __init__(self, logits: torch.Tensor, segment: Any, legal: Any, count: int) -> None:
        segment = torch.as_tensor(segment, dtype=torch.long, device=logits.device)
        legal = torch.as_tensor(legal, dtype=torch.long, device=logits.device)
        if logits.dim() != 1 or segment.shape != logits.shape or legal.shape != logits.shape:
            raise ValueError(f"logits, segment and legal must be flat and of one length, got "
                             f"{tuple(logits.shape)}, {tuple(segment.shape)}, {tuple(legal.shape)}")
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise ValueError(f"count must be a whole number of at least 0, not {count!r}")
        if len(segment) and (int(segment.min()) < 0 or int(segment.max()) >= count):
            raise ValueError(f"segment holds positions outside [0, {count})")
        if len(legal) and (int(legal.min()) < 0 or int(legal.max()) >= NUM_ACTIONS):
            raise ValueError(f"legal holds grid indexes outside [0, {NUM_ACTIONS})")
        self.logits = logits
        self.segment = segment
        self.legal = legal
        self.count = count
        self.logp, self._entropy = segment_log_softmax(logits, segment, count)

    @classmethod
    def from_grid(cls, logits: torch.Tensor, mask: Any) -> "LegalCategorical":
        """From dense logits (B, 36400) (or (B, 91, 20, 20)) and a mask of the same size, nonzero
        where a placement is legal; only the legal logits are kept (and get gradients)."""
        flat = logits.reshape(logits.shape[0], -1)
        mask = torch.as_tensor(mask, device=logits.device).reshape(flat.shape[0], -1)
        if flat.shape[1] != NUM_ACTIONS or mask.shape != flat.shape:
            raise ValueError(f"logits and mask must be (B, {NUM_ACTIONS}), got "
                             f"{tuple(logits.shape)} and {tuple(mask.shape)}")
        segment, legal = mask.bool().nonzero(as_tuple=True)
        return cls(flat[segment, legal], segment, legal, flat.shape[0])

    def entropy(self) -> torch.Tensor:
        """(B,) each position's entropy, in nats."""
        return self._entropy

    def probs(self) -> torch.Tensor:
        """(E,) each legal entry's probability."""
        return self.logp.exp()

    def _pick(self, score: torch.Tensor) -> torch.Tensor:
        """(B,) the entry of each position with the largest `score` (the first on a tie), or E
        where a position has none."""
        count, entries = self.count, len(score)
        top = torch.full((count,), -torch.inf, dtype=score.dtype, device=score.device)
        top = top.scatter_reduce(0, self.segment, score, "amax")
        at_top = score == top[self.segment]
        index = torch.arange(entries, device=score.device)
        return torch.full((count,), entries, device=score.device).scatter_reduce(
            0, self.segment[at_top], index[at_top], "amin")

    def _actions(self, pick: torch.Tensor) -> torch.Tensor:
        found = pick < len(self.legal)
        safe = pick.clamp_max(max(len(self.legal) - 1, 0))
        chosen = self.legal[safe] if len(self.legal) else torch.zeros_like(pick)
        return torch.where(found, chosen, torch.zeros_like(chosen))

    def sample(self, generator: torch.Generator | None = None) -> torch.Tensor:
        """(B,) one grid index per position, drawn by Gumbel-max: the largest log-probability
        plus Gumbel noise within each position is a draw from its softmax."""
        uniform = torch.rand(self.logp.shape, generator=generator, dtype=self.logp.dtype,
                             device=self.logp.device)
        score = self.logp.detach() - torch.log(-torch.log(uniform.clamp_min(1e-20)))
        return self._actions(self._pick(score))

    def mode(self) -> torch.Tensor:
        """(B,) each position's most likely legal grid index."""
        return self._actions(self._pick(self.logp.detach()))

    def log_prob(self, actions: Any) -> torch.Tensor:
        """(B,) the log-probability of each position's grid index in `actions` (B,): -inf for an
        index that is not legal there, 0 for a position without legal placements."""
        actions = torch.as_tensor(actions, device=self.logp.device).long().reshape(-1)
        if actions.shape != (self.count,):
            raise ValueError(f"actions must hold one grid index per position ({self.count}), got "
                             f"{tuple(actions.shape)}")
        chosen = self.legal == actions[self.segment]
        hits = torch.zeros(self.count, dtype=torch.long, device=actions.device).index_add(
            0, self.segment[chosen], torch.ones_like(self.segment[chosen]))
        total = torch.zeros(self.count, dtype=self.logp.dtype, device=self.logp.device).index_add(
            0, self.segment[chosen], self.logp[chosen])
        has_legal = torch.zeros(self.count, dtype=torch.bool, device=actions.device)
        has_legal[self.segment] = True
        return torch.where(has_legal & (hits == 0), torch.full_like(total, -torch.inf), total)
