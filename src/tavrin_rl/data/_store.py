"""The dataset on disk: Parquet shards, written atomically, and the JSON manifest.

    DIR/manifest.json                  what the dataset holds; the list of complete shards
    DIR/plies/<first game>.parquet     one row per placement: game, ply, agent, action, state
                                       (and, in version 3, the search's root visits)
    DIR/games/<first game>.parquet     one row per game: seed, agents, scores, outcomes, plies

A shard is one chunk of consecutive games. Each file is written under a temporary name in the same
folder and renamed when complete, so a reader never sees half a file, and a chunk that is played
again (a retried task) replaces its files with identical ones. Only the manifest says which shards
belong to the dataset; anything else in the folders is ignored by readers and removed by writers.
"""

from __future__ import annotations

import json
import os
import socket
from pathlib import Path
from typing import Any

import numpy as np

from tavrin_rl._atomic import TEMP_MARK, write_file
from tavrin_rl.data._play import NUM_SEATS, REWARD_MODES, STATE_BYTES, Chunk

FORMAT = "tavrin_rl self-play dataset"
# The version this package writes, and every version its reader understands (a version adds
# what it needs and keeps what readers of the older ones rely on).
FORMAT_VERSION = 2
# A dataset whose placements carry the search's root visits (the `visits` column): written only
# when asked for, so that readers of version 2 keep reading every dataset written without it.
VISITS_VERSION = 3
READABLE_VERSIONS = frozenset({1, 2, 3})
APPENDABLE_VERSIONS = frozenset({FORMAT_VERSION, VISITS_VERSION})
VISITS = "visits"


def visits_type() -> Any:
    """The `visits` column's type: per placement, the root's children (grid index, visits)."""
    pa = pyarrow()
    return pa.list_(pa.struct([("action", pa.uint16()), ("visits", pa.uint32())]))
MANIFEST = "manifest.json"
LOCK = ".lock"
PLIES = "plies"
GAMES = "games"


def pyarrow() -> Any:
    """pyarrow and pyarrow.parquet, imported on first use: the game itself needs neither."""
    try:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError(
            "tavrin_rl datasets need pyarrow: pip install 'tavrin_rl[data]'",
            name=error.name) from error
    return pa


def shard_name(first_game: int) -> str:
    return f"{first_game:012d}.parquet"


def plies_table(chunk: Chunk) -> Any:
    pa = pyarrow()
    states = pa.FixedSizeBinaryArray.from_buffers(
        pa.binary(STATE_BYTES), len(chunk.game),
        [None, pa.py_buffer(np.ascontiguousarray(chunk.state).tobytes())])
    columns = {
        "game": pa.array(chunk.game, pa.int64()),
        "ply": pa.array(chunk.ply, pa.int16()),
        "agent": pa.array(chunk.agent, pa.int8()),
        "action": pa.array(chunk.action, pa.uint16()),
        "state": states,
    }
    if chunk.visit_offsets is not None:
        offsets = chunk.visit_offsets
        children = pa.StructArray.from_arrays(
            [pa.array(chunk.visit_action, pa.uint16()), pa.array(chunk.visit_count, pa.uint32())],
            names=["action", "visits"])
        columns[VISITS] = pa.ListArray.from_arrays(
            pa.array(offsets.astype(np.int32)), children, type=visits_type(),
            mask=pa.array(offsets[1:] == offsets[:-1]))  # null: not searched
    return pa.table(columns)


def _quads(values: np.ndarray, kind: Any) -> Any:
    pa = pyarrow()
    flat = pa.array(np.ascontiguousarray(values).reshape(-1), kind)
    return pa.FixedSizeListArray.from_arrays(flat, NUM_SEATS)


def games_table(chunk: Chunk) -> Any:
    pa = pyarrow()
    count = chunk.count
    columns: dict[str, Any] = {
        "game": pa.array(np.arange(chunk.first_game, chunk.first_game + count), pa.int64()),
        "seed": pa.array(chunk.seeds, pa.uint64()),
        "agents": pa.FixedSizeListArray.from_arrays(
            pa.array(list(chunk.agents) * count, pa.string()), NUM_SEATS),
        "plies": pa.array(chunk.plies, pa.int16()),
        "scores": _quads(chunk.scores, pa.int16()),
    }
    for mode in REWARD_MODES:
        columns[f"outcome_{mode}"] = _quads(chunk.outcomes[mode], pa.float32())
    return pa.table(columns)


def _write_atomically(table: Any, path: Path) -> int:
    """Writes `table` to `path` as the package writes every file (`_atomic.write_file`); returns
    its size."""
    pq = pyarrow().parquet
    write_file(path, lambda file: pq.write_table(table, file, compression="zstd",
                                                 write_statistics=["game"]))
    return path.stat().st_size


def write_shard(root: str | os.PathLike[str], chunk: Chunk) -> dict[str, Any]:
    """Writes one chunk's two files and returns its manifest entry. The games file is renamed
    last: both files exist once it does."""
    root = Path(root)
    name = shard_name(chunk.first_game)
    size = _write_atomically(plies_table(chunk), root / PLIES / name)
    size += _write_atomically(games_table(chunk), root / GAMES / name)
    return {
        "first_game": chunk.first_game,
        "games": chunk.count,
        "plies": len(chunk.game),
        "files": [f"{PLIES}/{name}", f"{GAMES}/{name}"],
        "bytes": size,
        "worker": f"{socket.gethostname()}:{os.getpid()}",
    }


def read_manifest(root: Path) -> dict[str, Any] | None:
    """The manifest of the dataset in `root`, or None when `root` holds none of ours."""
    try:
        text = (root / MANIFEST).read_text(encoding="utf-8")
    except (FileNotFoundError, NotADirectoryError):
        return None
    try:
        manifest = json.loads(text)
    except ValueError:
        return None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        return None
    return manifest


def write_manifest(root: Path, manifest: dict[str, Any]) -> None:
    write_file(root / MANIFEST, _manifest_text(manifest))


def _manifest_text(manifest: dict[str, Any]) -> str:
    """Indented JSON with one line per run and per shard: easy to read and to diff."""
    lines = ["{"]
    items = list(manifest.items())
    for i, (key, value) in enumerate(items):
        comma = "," if i < len(items) - 1 else ""
        if isinstance(value, list) and value:
            entries = [json.dumps(entry) for entry in value]
            body = ",\n  ".join(entries)
            lines.append(f" {json.dumps(key)}: [\n  {body}\n ]{comma}")
        else:
            lines.append(f" {json.dumps(key)}: {json.dumps(value)}{comma}")
    lines.append("}")
    return "\n".join(lines) + "\n"


def holds_only_leftovers(root: Path) -> bool:
    """Whether `root` holds nothing but what a run leaves when it fails before writing its first
    manifest: the lock, temporaries and empty shard folders. Such a folder is as good as empty."""
    for entry in root.iterdir():
        if entry.name == LOCK or (TEMP_MARK in entry.name and entry.is_file()):
            continue
        if entry.name in (PLIES, GAMES) and entry.is_dir() and all(
                TEMP_MARK in inner.name for inner in entry.iterdir()):
            continue
        return False
    return True


def remove_temporaries(root: Path) -> int:
    """Deletes the leftovers of writes that never finished; returns how many there were."""
    removed = 0
    for folder in (root, root / PLIES, root / GAMES):
        if not folder.is_dir():
            continue
        for entry in folder.iterdir():
            if TEMP_MARK in entry.name and entry.is_file():
                entry.unlink(missing_ok=True)
                removed += 1
    return removed


def remove_unlisted(root: Path, shards: list[dict[str, Any]]) -> int:
    """Deletes shard files that the manifest does not list; returns how many there were."""
    listed = {name for shard in shards for name in shard["files"]}
    removed = 0
    for folder in (PLIES, GAMES):
        if not (root / folder).is_dir():
            continue
        for entry in (root / folder).iterdir():
            if entry.suffix == ".parquet" and f"{folder}/{entry.name}" not in listed:
                entry.unlink(missing_ok=True)
                removed += 1
    return removed
