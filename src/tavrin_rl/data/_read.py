"""Reading a dataset back as numpy batches for learning.

Rows come from the Parquet shards the manifest lists; each batch's 278-byte states are turned into
observations and action masks by the batched engine in one call, never in Python.
"""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

from tavrin_rl.data import _store
from tavrin_rl.data._play import REWARD_MODES, STATE_BYTES
from tavrin_rl.data._decode import OBSERVATIONS, Decoder

# Row columns carried from the shards into every batch, with the dtype they are handed out in.
_ROW_COLUMNS = {"game": np.int64, "ply": np.int16, "agent": np.int8, "action": np.int64}


class GameDataset:
    """The placements of a dataset, as an iterable of batches (dicts of numpy arrays):

    - ``observation``: the mover's view before the placement, uint8 0/1, in its frame:
      ``(B, 12, 20, 20)`` board planes for ``observation="compact"`` (with ``pieces`` ``(B, 4, 21)``
      and ``done`` ``(B, 4)`` beside it) or ``(B, 100, 20, 20)`` for ``"full"``;
    - ``action_mask``: ``(B, 36400)`` bool, the mover's legal placements;
    - ``action``: ``(B,)`` int64, the grid index played; ``agent``: ``(B,)`` int8, the mover;
    - ``outcome``: ``(B,)`` float32, the game's final outcome for the mover in ``reward_mode``;
    - ``game`` and ``ply``: where the row comes from.

    Every batch holds ``batch_size`` rows except perhaps the last. Arrays are fresh copies: keep
    them as long as you like. Iterating again starts from the beginning. Inside a
    ``torch.utils.data.DataLoader`` worker, each worker reads its own share of the shards.
    """

    def __init__(self, path: str | os.PathLike[str], *, observation: str | None = "compact",
                 reward_mode: str = "win_share", batch_size: int = 256, shuffle: bool = False,
                 seed: int | None = None, threads: int = 1,
                 _shards: list[dict[str, Any]] | None = None) -> None:
        if observation not in OBSERVATIONS:
            raise ValueError(f"observation must be one of {OBSERVATIONS}, got {observation!r}")
        if reward_mode not in REWARD_MODES:
            raise ValueError(f"reward_mode must be one of {REWARD_MODES}, got {reward_mode!r}")
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, got {batch_size}")
        self.path = Path(path)
        manifest = _store.read_manifest(self.path)
        if manifest is None:
            raise FileNotFoundError(f"no tavrin_rl dataset in {self.path} (no manifest.json)")
        self.manifest = manifest
        self.observation = observation
        self.reward_mode = reward_mode
        self.batch_size = batch_size
        self.shuffle = shuffle
        self.seed = seed
        self.threads = threads
        self.shards = list(manifest["shards"]) if _shards is None else _shards

    @property
    def num_games(self) -> int:
        return sum(shard["games"] for shard in self.shards)

    @property
    def num_samples(self) -> int:
        """Rows (placements) this dataset hands out per pass."""
        return sum(shard["plies"] for shard in self.shards)

    def __len__(self) -> int:
        """Batches per pass."""
        return math.ceil(self.num_samples / self.batch_size)

    def __repr__(self) -> str:
        return (f"GameDataset({str(self.path)!r}, {self.num_games} games, "
                f"{self.num_samples} placements, observation={self.observation!r})")

    def split(self, index: int, count: int) -> GameDataset:
        """Part `index` of `count`: every count-th shard, starting at shard `index`. The parts
        are disjoint and together hold every row."""
        if not 0 <= index < count:
            raise ValueError(f"need 0 <= index < count, got index {index} and count {count}")
        return GameDataset(self.path, observation=self.observation, reward_mode=self.reward_mode,
                           batch_size=self.batch_size, shuffle=self.shuffle, seed=self.seed,
                           threads=self.threads, _shards=self.shards[index::count])

    def games(self) -> Any:
        """Every game's row (seed, agents, plies, scores, outcomes) as one pyarrow Table."""
        pa = _store.pyarrow()
        tables = [pa.parquet.read_table(self.path / shard["files"][1]) for shard in self.shards]
        return pa.concat_tables(tables) if tables else None

    def plies(self, columns: list[str] | None = None) -> Any:
        """Every placement's row as one pyarrow Table (or the chosen columns of it)."""
        pa = _store.pyarrow()
        tables = [pa.parquet.read_table(self.path / shard["files"][0], columns=columns)
                  for shard in self.shards]
        return pa.concat_tables(tables) if tables else None

    def _worker_share(self) -> GameDataset:
        torch = sys.modules.get("torch")
        info = torch.utils.data.get_worker_info() if torch is not None else None
        return self if info is None else self.split(info.id, info.num_workers)

    def __iter__(self) -> Iterator[dict[str, np.ndarray]]:
        part = self._worker_share()
        rng = np.random.default_rng(self.seed) if self.shuffle else None
        shards = list(part.shards)
        if rng is not None:
            shards = [shards[i] for i in rng.permutation(len(shards))]
        decoder = Decoder(self.batch_size, self.observation, self.threads)
        pending: list[dict[str, np.ndarray]] = []
        held = 0
        for shard in shards:
            rows = self._read_shard(shard)
            if rng is not None:
                order = rng.permutation(len(rows["game"]))
                rows = {name: column[order] for name, column in rows.items()}
            pending.append(rows)
            held += len(rows["game"])
            while held >= self.batch_size:
                joined = _join(pending)
                yield self._batch(decoder, {k: v[:self.batch_size] for k, v in joined.items()})
                rest = {k: v[self.batch_size:] for k, v in joined.items()}
                held -= self.batch_size
                pending = [rest] if held else []
        if held:
            yield self._batch(decoder, _join(pending))

    def _read_shard(self, shard: dict[str, Any]) -> dict[str, np.ndarray]:
        pq = _store.pyarrow().parquet
        plies = pq.read_table(self.path / shard["files"][0])
        games = pq.read_table(self.path / shard["files"][1],
                              columns=["game", f"outcome_{self.reward_mode}"])
        rows = {name: plies.column(name).to_numpy().astype(dtype, copy=False)
                for name, dtype in _ROW_COLUMNS.items()}
        state = plies.column("state").combine_chunks()
        offset = state.offset * STATE_BYTES
        rows["state"] = np.frombuffer(state.buffers()[1], dtype=np.uint8)[
            offset:offset + len(state) * STATE_BYTES].reshape(-1, STATE_BYTES)
        first = shard["first_game"]
        outcomes = np.asarray(
            games.column(f"outcome_{self.reward_mode}").combine_chunks().flatten(),
            dtype=np.float32).reshape(-1, 4)
        rows["outcome"] = outcomes[rows["game"] - first, rows["agent"]]
        return rows

    def _batch(self, decoder: Decoder, rows: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        batch = decoder.decode(rows["state"])
        for name in (*_ROW_COLUMNS, "outcome"):
            batch[name] = np.array(rows[name])
        return batch


def _join(parts: list[dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    if len(parts) == 1:
        return parts[0]
    return {name: np.concatenate([part[name] for part in parts]) for name in parts[0]}


def open(path: str | os.PathLike[str], *, observation: str | None = "compact",
         reward_mode: str = "win_share", batch_size: int = 256, shuffle: bool = False,
         seed: int | None = None, threads: int = 1) -> GameDataset:
    """The dataset in folder `path` as an iterable of numpy batches (see `GameDataset`)."""
    return GameDataset(path, observation=observation, reward_mode=reward_mode,
                       batch_size=batch_size, shuffle=shuffle, seed=seed, threads=threads)
