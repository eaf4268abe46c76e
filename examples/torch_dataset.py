"""Behaviour cloning from a self-play dataset with PyTorch: `tavrin_rl.data` batches feed a
`torch.utils.data.IterableDataset`, read by two DataLoader workers.

    pip install '.[data]' torch     # in the clone; see the docs on torch's CPU build
    python -m tavrin_rl --games 2000 --agents reach --seed 1 --out games/
    python examples/torch_dataset.py games/ [steps]

Without a dataset folder it writes a small one of `reach` self-play first, in a temporary folder.
The network learns to play the move the dataset's agent played (a masked softmax over the 36400
grid indexes); it prints the loss and how often its top choice is that move.
"""

from __future__ import annotations

import sys
import tempfile
from collections.abc import Iterator

import torch
from torch import nn
from torch.utils.data import DataLoader, IterableDataset

from tavrin_rl import data


class Placements(IterableDataset[dict[str, torch.Tensor]]):
    """The dataset's placements as batches of tensors. `tavrin_rl.data` gives every DataLoader
    worker its own share of the shards, so no row is read twice."""

    def __init__(self, path: str, batch_size: int) -> None:
        self.source = data.open(path, observation="compact", batch_size=batch_size,
                                shuffle=True, seed=0)

    def __iter__(self) -> Iterator[dict[str, torch.Tensor]]:
        for batch in self.source:
            yield {name: torch.from_numpy(array) for name, array in batch.items()}


class Policy(nn.Module):
    """Convolutions over the 12 board planes; one logit per orientation and anchor cell, so the
    output is the action grid (91, 20, 20) itself. Pieces left and done flags add a bias per
    orientation."""

    def __init__(self) -> None:
        super().__init__()
        self.board = nn.Sequential(
            nn.Conv2d(12, 32, 3, padding=1), nn.ReLU(),
            nn.Conv2d(32, 32, 3, padding=1), nn.ReLU(),
            nn.Conv2d(32, 91, 1))
        self.pieces = nn.Linear(4 * 21 + 4, 91)

    def forward(self, batch: dict[str, torch.Tensor]) -> torch.Tensor:
        planes = batch["observation"].float()
        extra = torch.cat([batch["pieces"].flatten(1), batch["done"]], 1).float()
        logits: torch.Tensor = self.board(planes) + self.pieces(extra)[:, :, None, None]
        return logits.flatten(1).masked_fill(~batch["action_mask"], float("-inf"))


def train(path: str, steps: int) -> None:
    loader = DataLoader(Placements(path, batch_size=256), batch_size=None, num_workers=2)
    policy = Policy()
    optimiser = torch.optim.Adam(policy.parameters(), lr=3e-3)
    step = 0
    while step < steps:
        for batch in loader:
            logits = policy(batch)
            loss = nn.functional.cross_entropy(logits, batch["action"])
            optimiser.zero_grad()
            torch.autograd.backward(loss)
            optimiser.step()
            step += 1
            if step % 20 == 0 or step == steps:
                hits = (logits.argmax(1) == batch["action"]).float().mean().item()
                print(f"step {step}: loss {loss.item():.3f}, top choice = dataset move "
                      f"{100 * hits:.1f}%")
            if step == steps:
                return


def main() -> None:
    steps = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    if len(sys.argv) > 1:
        train(sys.argv[1], steps)
        return
    with tempfile.TemporaryDirectory() as folder:
        data.write_dataset(folder, games=64, agents=["reach"] * 4, seed=1, workers=1)
        train(folder, steps)


if __name__ == "__main__":
    main()
