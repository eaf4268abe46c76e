"""The policy-value net in torch, `PolicyNet`: the one torch net, which the trainer, sb3-contrib's
`GridPolicy` and RLlib's `MaskedGridModule` learn with. Its state dict is what a policy file holds
(`weights()` for `tavrin_rl.nets.save_policy`), so whatever learned it plays as `policy:PATH`.

The policy head is a 1x1 convolution with one output channel per orientation over the board, so
its output is the action grid itself. A position has a few hundred legal placements out of 36400;
gathering the trunk's features at those cells and taking the softmax over them alone gives the
same log-probabilities, entropy and gradients as the full grid with illegal entries masked, for a
small fraction of the work. `full_logits` computes the whole grid, for tests and inspection.
"""

from __future__ import annotations

import numpy as np

from tavrin_rl._extras import needs_extra

try:
    import torch
    import torch.nn.functional as F
    from torch import nn
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.nets.torch_net", "train", _error) from _error

from tavrin_rl.catalogue import BOARD_SIDE, NUM_ORIENTATIONS
from tavrin_rl.nets.format import BOARD_PLANES, CELLS, NUM_EXTRAS


class PolicyNet(nn.Module):
    """Board planes (B, 12, 20, 20) with row and column planes, and extras (B, 88) (pieces and
    out-of-moves flags) as a bias on the first convolution and on each orientation's logits;
    `channels` wide, `layers` 3x3 convolutions of which all but the first are residual, and a
    value head of `hidden` units."""

    coords: torch.Tensor

    def __init__(self, channels: int = 16, layers: int = 3, hidden: int = 64) -> None:
        super().__init__()
        self.channels = channels
        self.extras = nn.Linear(NUM_EXTRAS, channels + NUM_ORIENTATIONS)
        self.stem = nn.Conv2d(BOARD_PLANES + 2, channels, 3, padding=1)
        self.convs = nn.ModuleList(nn.Conv2d(channels, channels, 3, padding=1)
                                   for _ in range(layers - 1))
        self.policy = nn.Conv2d(channels, NUM_ORIENTATIONS, 1)
        self.value_conv = nn.Conv2d(channels, 4, 1)
        self.value_fc = nn.Linear(4 * CELLS, hidden)
        self.value_out = nn.Linear(hidden, 1)
        coords = torch.arange(BOARD_SIDE, dtype=torch.float32) / (BOARD_SIDE - 1)
        grid = torch.stack(torch.meshgrid(coords, coords, indexing="ij"))  # row, column
        self.register_buffer("coords", grid[None], persistent=False)

    def trunk(self, board: torch.Tensor, extras: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Features (B, C, 20, 20), channels-last in memory, and orientation biases (B, 91)."""
        b = board.shape[0]
        x = torch.cat([board.float(), self.coords.expand(b, -1, -1, -1)], dim=1)
        x = x.contiguous(memory_format=torch.channels_last)
        e = self.extras(extras.float())
        h = F.relu(self.stem(x) + e[:, :self.channels, None, None])
        for conv in self.convs:
            h = F.relu(h + conv(h))
        return h, e[:, self.channels:]

    def value(self, h: torch.Tensor) -> torch.Tensor:
        v = F.relu(self.value_conv(h)).flatten(1)
        return self.value_out(F.relu(self.value_fc(v)))[:, 0]  # type: ignore[no-any-return]

    def forward(self, board: torch.Tensor, extras: torch.Tensor, segment: torch.Tensor,
                legal: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Logits (E,) of the legal grid indexes `legal` (E,) of positions `segment` (E,), and
        values (B,)."""
        h, orientation_bias = self.trunk(board, extras)
        cells = h.permute(0, 2, 3, 1).reshape(-1, self.channels)  # a view: channels-last
        orientation = legal // CELLS
        features = cells[segment * CELLS + legal % CELLS]
        weight = self.policy.weight.view(NUM_ORIENTATIONS, self.channels)
        bias = self.policy.bias
        assert bias is not None
        logits = ((features * weight[orientation]).sum(1) + bias[orientation]
                  + orientation_bias[segment, orientation])
        return logits, self.value(h)

    def grid(self, board: torch.Tensor, extras: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Logits (B, 36400) of every grid index, legal or not, and values (B,): for callers
        that mask the whole grid (sb3-contrib, RLlib)."""
        h, orientation_bias = self.trunk(board, extras)
        return self.grid_logits(h, orientation_bias), self.value(h)

    def grid_logits(self, h: torch.Tensor, orientation_bias: torch.Tensor) -> torch.Tensor:
        """(B, 36400) logits of every grid index from the trunk's outputs."""
        logits: torch.Tensor = (self.policy(h) + orientation_bias[:, :, None, None]).flatten(1)
        return logits

    def full_logits(self, board: torch.Tensor, extras: torch.Tensor) -> torch.Tensor:
        """(B, 36400) logits of every grid index, legal or not."""
        return self.grid_logits(*self.trunk(board, extras))

    def weights(self) -> dict[str, np.ndarray]:
        """The state dict as float32 numpy arrays, for `tavrin_rl.nets.save_policy`."""
        return {name: t.detach().float().cpu().numpy() for name, t in self.state_dict().items()}


def segment_log_softmax(logits: torch.Tensor, segment: torch.Tensor,
                        count: int) -> tuple[torch.Tensor, torch.Tensor]:
    """Log-probabilities (E,) of a softmax within each segment, and each segment's entropy
    (count,)."""
    top = torch.full((count,), -torch.inf, dtype=logits.dtype)
    top = top.scatter_reduce(0, segment, logits.detach(), "amax")
    shifted = logits - top[segment]
    total = torch.zeros(count, dtype=logits.dtype).index_add(0, segment, shifted.exp())
    logp = shifted - total.log()[segment]
    entropy = -torch.zeros(count, dtype=logits.dtype).index_add(0, segment, logp.exp() * logp)
    return logp, entropy
