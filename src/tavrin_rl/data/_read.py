"""Reading a dataset back as numpy batches for learning.

Rows come from the Parquet shards the manifest lists; each batch's 278-byte states are turned into
observations and action masks by the batched engine in one call, never in Python.
"""

from __future__ import annotations

import math
import os
import stat
import sys
from collections.abc import Iterator
from pathlib import Path, PurePosixPath
from typing import Any

import numpy as np

from tavrin_rl.data import _store
from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.catalogue import NUM_ACTIONS
from tavrin_rl.data._play import NUM_SEATS, REWARD_MODES, STATE_BYTES
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
    - ``game`` and ``ply``: where the row comes from;
    - with ``visits=True`` (a dataset written with them, format version 3), the search's root
      visits: ``searched`` ``(B,)`` bool, whether the placement was searched (false for other
      agents' placements and for forced and opening ones), and row r's root children as
      ``visit_actions[visit_offsets[r]:visit_offsets[r + 1]]`` (grid indexes, int64) with their
      ``visit_counts`` (int64) beside them, ``visit_offsets`` ``(B + 1,)`` int64.

    Every batch holds ``batch_size`` rows except perhaps the last. Arrays are fresh copies: keep
    them as long as you like. Iterating again starts from the beginning. Inside a
    ``torch.utils.data.DataLoader`` worker, each worker reads its own share of the shards.
    """

    def __init__(self, path: str | os.PathLike[str], *, observation: str | None = "compact",
                 reward_mode: str = "win_share", batch_size: int = 256, shuffle: bool = False,
                 seed: int | None = None, threads: int = 1, visits: bool = False,
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
        if _shards is None:
            _shards = _checked_shards(self.path, manifest)
        if visits and manifest.get("format_version") != _store.VISITS_VERSION:
            raise ValueError(f"{self.path}: the dataset holds no search visits (format version "
                             f"{manifest.get('format_version')}); write it with --visits")
        self.visits = visits
        self.manifest = manifest
        self.observation = observation
        self.reward_mode = reward_mode
        self.batch_size = batch_size
        self.shuffle = shuffle
        self.seed = seed
        self.threads = threads
        self.shards = _shards

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
                           threads=self.threads, visits=self.visits,
                           _shards=self.shards[index::count])

    def games(self) -> Any:
        """Every game's row (seed, agents, plies, scores, outcomes) as one pyarrow Table."""
        pa = _store.pyarrow()
        tables = [read_table(self.path / shard["files"][1]) for shard in self.shards]
        return pa.concat_tables(tables) if tables else None

    def plies(self, columns: list[str] | None = None) -> Any:
        """Every placement's row as one pyarrow Table (or the chosen columns of it)."""
        pa = _store.pyarrow()
        tables = [read_table(self.path / shard["files"][0], columns) for shard in self.shards]
        return pa.concat_tables(tables) if tables else None

    def _worker_share(self) -> GameDataset:
        torch = sys.modules.get("torch")
        info = torch.utils.data.get_worker_info() if torch is not None else None
        return self if info is None else self.split(info.id, info.num_workers)

    def __iter__(self) -> Iterator[dict[str, np.ndarray]]:
        part = self._worker_share()
        rng = np.random.default_rng(self.seed) if self.shuffle else None
        order: Any = range(len(part.shards))
        if rng is not None:
            order = rng.permutation(len(part.shards))
        decoder = Decoder(self.batch_size, self.observation, self.threads)
        pending: list[dict[str, np.ndarray]] = []
        held = 0
        for index in order:
            rows = self._read_shard(part.shards[index])
            # where each row comes from, carried beside it for error messages only
            rows["_shard"] = np.full(len(rows["game"]), index)
            if rng is not None:
                mixed = rng.permutation(len(rows["game"]))
                rows = {name: column[mixed] for name, column in rows.items()}
            pending.append(rows)
            held += len(rows["game"])
            while held >= self.batch_size:
                joined = _join(pending)
                yield part._batch(decoder, {k: v[:self.batch_size] for k, v in joined.items()})
                rest = {k: v[self.batch_size:] for k, v in joined.items()}
                held -= self.batch_size
                pending = [rest] if held else []
        if held:
            yield part._batch(decoder, _join(pending))

    def _read_shard(self, shard: dict[str, Any]) -> dict[str, np.ndarray]:
        """The shard's rows, checked: a value out of range would otherwise index the wrong
        game's or agent's outcome without a word."""
        pa = _store.pyarrow()
        plies_file, games_file = shard["files"]
        plies = read_table(self.path / plies_file,
                           [*_ROW_COLUMNS, "state", *([_store.VISITS] if self.visits else [])])
        games = read_table(self.path / games_file, ["game", f"outcome_{self.reward_mode}"])
        first, count = shard["first_game"], shard["games"]
        if games.column("game").to_pylist() != list(range(first, first + count)):
            raise ValueError(f"{self.path / games_file}: does not hold games {first} to "
                             f"{first + count - 1} in order, as the manifest says")
        if plies.column("state").type != pa.binary(STATE_BYTES):
            raise ValueError(f"{self.path / plies_file}: the state column is not "
                             f"{STATE_BYTES}-byte values")
        if plies.num_rows != shard["plies"]:
            raise ValueError(f"{self.path / plies_file}: {plies.num_rows} rows, the manifest "
                             f"says {shard['plies']}")
        rows = {name: plies.column(name).to_numpy().astype(dtype, copy=False)
                for name, dtype in _ROW_COLUMNS.items()}
        for name, low, high in (("game", first, first + count - 1), ("agent", 0, NUM_SEATS - 1),
                                ("ply", 0, np.iinfo(np.int16).max),
                                ("action", 0, NUM_ACTIONS - 1)):
            bad = np.flatnonzero((rows[name] < low) | (rows[name] > high))
            if bad.size:
                row = int(bad[0])
                raise ValueError(f"{self.path / plies_file}, row {row}: {name} "
                                 f"{rows[name][row]} is outside {low} to {high}")
        state = plies.column("state").combine_chunks()
        offset = state.offset * STATE_BYTES
        rows["state"] = np.frombuffer(state.buffers()[1], dtype=np.uint8)[
            offset:offset + len(state) * STATE_BYTES].reshape(-1, STATE_BYTES)
        outcomes = np.asarray(
            games.column(f"outcome_{self.reward_mode}").combine_chunks().flatten(),
            dtype=np.float32).reshape(-1, NUM_SEATS)
        rows["outcome"] = outcomes[rows["game"] - first, rows["agent"]]
        if self.visits:
            rows["_visits"] = self._visit_rows(plies.column(_store.VISITS).combine_chunks(),
                                               self.path / plies_file)
        rows["_row"] = np.arange(len(rows["game"]))
        return rows

    @staticmethod
    def _visit_rows(column: Any, file: Path) -> np.ndarray:
        """Each row's root children as an (k, 2) int64 array (grid index, visits), None where
        the placement was not searched."""
        if column.type != _store.visits_type():
            raise ValueError(f"{file}: the visits column is {column.type}, not {_store.visits_type()}")
        offsets = column.offsets.to_numpy()
        children = np.stack([column.values.field("action").to_numpy(zero_copy_only=False),
                             column.values.field("visits").to_numpy(zero_copy_only=False)],
                            axis=1).astype(np.int64)
        valid = column.is_valid().to_numpy(zero_copy_only=False)
        if len(children) and children[:, 0].max() >= NUM_ACTIONS:
            raise ValueError(f"{file}: a visited grid index is outside 0 to {NUM_ACTIONS - 1}")
        out = np.empty(len(column), dtype=object)
        for r in range(len(column)):
            out[r] = children[offsets[r]:offsets[r + 1]] if valid[r] else None
        return out

    def _batch(self, decoder: Decoder, rows: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        try:
            batch = decoder.decode(rows["state"])
        except ValueError as error:
            raise self._state_error(rows) or error from error
        for name in (*_ROW_COLUMNS, "outcome"):
            batch[name] = np.array(rows[name])
        if self.visits:
            lists = rows["_visits"]
            batch["searched"] = np.array([entry is not None for entry in lists], dtype=bool)
            counts = [0 if entry is None else len(entry) for entry in lists]
            batch["visit_offsets"] = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
            joined = np.concatenate([entry for entry in lists if entry is not None] or
                                    [np.zeros((0, 2), np.int64)])
            batch["visit_actions"] = np.ascontiguousarray(joined[:, 0])
            batch["visit_counts"] = np.ascontiguousarray(joined[:, 1])
        return batch

    def _state_error(self, rows: dict[str, np.ndarray]) -> ValueError | None:
        """The first row whose state is not valid, named by its file, row, game and ply (the
        engine's own message can only name a slot of the batch)."""
        for i, state in enumerate(rows["state"]):
            try:
                PyTavrin.from_bytes(state.tobytes())
            except ValueError as error:
                file = self.path / self.shards[rows["_shard"][i]]["files"][0]
                return ValueError(f"{file}, row {rows['_row'][i]} (game {rows['game'][i]}, ply "
                                  f"{rows['ply'][i]}): invalid state: {error}")
        return None


def read_table(file: Path, columns: list[str] | None = None) -> Any:
    """A shard file's table, or the chosen columns of it. A file that is not one, or that lacks
    a column, is refused naming the file (pyarrow's own errors name none)."""
    pa = _store.pyarrow()
    # O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is refused below
    fd = os.open(file, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise ValueError(f"{file}: not a regular file")
    with os.fdopen(fd, "rb") as f:
        try:
            parquet = pa.parquet.ParquetFile(f)
            missing = [name for name in columns or () if name not in parquet.schema_arrow.names]
            if missing:
                raise ValueError(f"{file}: no {missing[0]!r} column")
            return parquet.read(columns=columns)
        except pa.ArrowException as error:
            raise ValueError(f"{file}: not a shard of a dataset "
                             f"({str(error).splitlines()[0]})") from None


def _checked_shards(root: Path, manifest: dict[str, Any]) -> list[dict[str, Any]]:
    """The manifest's shard list, refused unless its version is one we read and every entry
    has sound values and names files inside the dataset folder."""
    version = manifest.get("format_version")
    if version not in _store.READABLE_VERSIONS or isinstance(version, bool):
        readable = ", ".join(str(v) for v in sorted(_store.READABLE_VERSIONS))
        raise ValueError(f"{root}: dataset format version {version!r} cannot be read by this "
                         f"tavrin_rl, which reads versions {readable}")
    shards = manifest.get("shards")
    if not isinstance(shards, list):
        raise ValueError(f"{root / _store.MANIFEST}: 'shards' is not a list")
    for index, shard in enumerate(shards):
        where = f"{root / _store.MANIFEST}, shard {index}"
        if not isinstance(shard, dict):
            raise ValueError(f"{where}: not an object")
        for key, low in (("first_game", 0), ("games", 1), ("plies", 0)):
            value = shard.get(key)
            if not isinstance(value, int) or isinstance(value, bool) or value < low:
                raise ValueError(f"{where}: {key} must be a whole number of at least {low}, "
                                 f"got {value!r}")
        files = shard.get("files")
        if not (isinstance(files, list) and len(files) == 2
                and all(isinstance(name, str) for name in files)):
            raise ValueError(f"{where}: files must be two paths, got {files!r}")
        for name in files:
            parts = PurePosixPath(name).parts
            # only names relative to the folder and never climbing out of it: a manifest must
            # not make us read files elsewhere
            if not parts or PurePosixPath(name).is_absolute() or ".." in parts or "\\" in name:
                raise ValueError(f"{where}: {name!r} is not a path inside the dataset folder")
    return list(shards)


def _join(parts: list[dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    if len(parts) == 1:
        return parts[0]
    return {name: np.concatenate([part[name] for part in parts]) for name in parts[0]}


def open(path: str | os.PathLike[str], *, observation: str | None = "compact",
         reward_mode: str = "win_share", batch_size: int = 256, shuffle: bool = False,
         seed: int | None = None, threads: int = 1, visits: bool = False) -> GameDataset:
    """The dataset in folder `path` as an iterable of numpy batches (see `GameDataset`)."""
    return GameDataset(path, observation=observation, reward_mode=reward_mode,
                       batch_size=batch_size, shuffle=shuffle, seed=seed, threads=threads,
                       visits=visits)
