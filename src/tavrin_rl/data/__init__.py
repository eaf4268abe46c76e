"""Self-play datasets: writing them with many processes or a Ray cluster, reading them back.

    from tavrin_rl import data
    data.write_dataset("games/", games=10_000, agents=["greedy", "random", "reach", "random"], seed=1)
    for batch in data.open("games/", observation="compact", batch_size=512):
        batch["observation"], batch["action_mask"], batch["action"], batch["outcome"]

The command `python -m tavrin_rl --games N --out DIR` writes the same datasets. Needs numpy and
pyarrow (`pip install '.[data]'` in the clone); Ray only for `ray=True` (`'.[ray]'`). The names
below load on first use, so that the command line can wire its options without numpy.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tavrin_rl.data._play import Chunk, game_seed, play_chunk
    from tavrin_rl.data._read import GameDataset, open
    from tavrin_rl.data._write import DatasetError, Summary, write_dataset

__all__ = ["open", "write_dataset", "GameDataset", "DatasetError", "Summary", "game_seed",
           "play_chunk", "Chunk"]

_HOMES = {
    "open": "_read", "GameDataset": "_read",
    "write_dataset": "_write", "DatasetError": "_write", "Summary": "_write",
    "game_seed": "_play", "play_chunk": "_play", "Chunk": "_play",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
