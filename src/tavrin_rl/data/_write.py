"""Writing a dataset: the run that plans its chunks, hands them to a backend (`_workers`), and
keeps the manifest.

The driver (the process that runs `write_dataset`) owns the manifest. Workers play a chunk, write
its shard atomically and return the shard's manifest entry; the driver records it and redraws the
progress bar. Which worker plays which chunk never changes a row: every game is seeded by its
number (`game_seed`).
"""

from __future__ import annotations

import math
import os
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

from tavrin_rl._progress import Progress
from tavrin_rl._system import available_cpus
from tavrin_rl.data import _store, _workers
from tavrin_rl.data._folder import DatasetError, check_output, clear, locked, now, package_version
from tavrin_rl.data._play import net_arrays, play_chunk

__all__ = ["write_dataset", "Summary", "DatasetError", "check_output", "print_summary"]

# Chunks are sized from the number of games alone, never from the number of workers, so that the
# same command lays out the same shards on any machine.
MIN_CHUNK = 16
MAX_CHUNK = 1000
TARGET_CHUNKS = 32
MANIFEST_INTERVAL = 1.0  # seconds between manifest updates while running


def default_chunk_size(games: int) -> int:
    return max(MIN_CHUNK, min(MAX_CHUNK, math.ceil(games / TARGET_CHUNKS)))


@dataclass(frozen=True)
class Plan:
    """What every task needs to play and write its chunk; small and picklable."""

    root: str
    seed: int
    agents: tuple[str, ...]
    visits: bool = False
    # The weights of the nets the agents play by (net seats' and searches' guides), by net name:
    # they travel with every task (a path of the driver may not exist on a Ray node), so every
    # chunk plays the net the run started with.
    nets: dict[str, Any] = field(default_factory=dict)


def write_chunk(plan: Plan, first_game: int, count: int) -> dict[str, Any]:
    """Plays games [first_game, first_game + count) and writes their shard: one task."""
    chunk = play_chunk(first_game, count, plan.agents, plan.seed, plan.visits, plan.nets)
    return _store.write_shard(plan.root, chunk)


# What a backend runs for each chunk. A module attribute, read when a run starts, so that tests
# can put a chunk that fails in its place.
WORK: _workers.Work = write_chunk


@dataclass
class Summary:
    root: Path
    games: int
    plies: int
    shards: int
    bytes: int
    seconds: float
    backend: str
    status: str
    first_game: int


def write_dataset(out: str | os.PathLike[str], games: int, agents: Sequence[str], seed: int, *,
                  workers: int | None = None, ray: bool = False, ray_address: str | None = None,
                  ray_init: dict[str, Any] | None = None, append: bool = False,
                  overwrite: bool = False, chunk_size: int | None = None,
                  command: Sequence[str] | None = None,
                  progress: TextIO | None = None, visits: bool | None = None) -> Summary:
    """Plays `games` games between `agents` (one name per seat) and writes them to the dataset
    folder `out`. With `ray`, chunks run as Ray tasks (on the cluster at `ray_address`, or on a
    local instance started for the run); otherwise on `workers` local processes (default: the
    CPUs available; with `ray`, `workers` caps the tasks running at once). Raises DatasetError
    for an output folder it must not touch. With `visits`, the placements of searching seats
    carry the search's root visits (format version 3); an append follows the dataset."""
    agents = tuple(agents)
    if games < 1:
        raise ValueError(f"games must be at least 1, got {games}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    chunk_size = chunk_size or default_chunk_size(games)
    if ray:
        _workers.import_ray()  # before anything is created
    # The nets, read and checked before anything is created; a net seat's file is read once.
    nets, net_files = net_arrays(agents)
    root = Path(out)
    check_output(root, append, overwrite, visits)  # before creating anything
    root.mkdir(parents=True, exist_ok=True)
    with locked(root):
        # checked again under the lock: another run may have written in between
        previous = check_output(root, append, overwrite, visits)
        if overwrite:
            clear(root)
        _store.remove_temporaries(root)
        recorded = (previous["format_version"] == _store.VISITS_VERSION if previous is not None
                    else bool(visits))
        return _run(root, previous, games, agents, seed, workers, ray, ray_address,
                    ray_init or {}, chunk_size, command, progress, recorded, nets, net_files)


def _run(root: Path, previous: dict[str, Any] | None, games: int, agents: tuple[str, ...],
         seed: int, workers: int | None, use_ray: bool, ray_address: str | None,
         ray_init: dict[str, Any], chunk_size: int, command: Sequence[str] | None,
         progress_stream: TextIO | None, visits: bool, nets: dict[str, Any],
         net_files: dict[str, Any]) -> Summary:
    manifest = previous or {
        "format": _store.FORMAT,
        "format_version": _store.VISITS_VERSION if visits else _store.FORMAT_VERSION,
        "game_seeds": "game g of a run seeded with S draws every choice from its own stream, "
                      "splitmix64 from game_seed(S, g) = tavrin_rl.agents.Stream.for_game(S, g), "
                      "one draw per placement in ply order, by the engine's rule for the seat "
                      "to move (tavrin_rl._engine.pick)",
        "runs": [], "shards": [],
    }
    first_game = max((run["first_game"] + run["games"] for run in manifest["runs"]), default=0)
    workers = workers or (None if use_ray else available_cpus())
    if use_ray:
        backend = "ray " + (ray_address or "local instance") + (
            f", at most {workers} tasks at once" if workers else "")
    else:
        backend = f"{workers} local process{'es' if workers != 1 else ''}"
    run: dict[str, Any] = {
        "command": list(command) if command is not None else None,
        "package_version": package_version(),
        "seed": seed, "agents": list(agents), "first_game": first_game, "games": games,
        # each policy file the games were played by (net seats' and guides'): its real path and
        # the hash of the bytes its weights were read from
        **({"policies": net_files} if net_files else {}),
        "chunk_size": chunk_size, "backend": backend, "started": now(), "finished": None,
        "status": "running",
    }
    manifest["package_version"] = run["package_version"]
    manifest["runs"].append(run)
    manifest["status"] = "running"
    plan = Plan(str(root), seed, agents, visits, nets)
    work = WORK
    # planned as they are handed out: a list of every chunk of 10^12 games would not fit
    tasks = ((first, min(chunk_size, first_game + games - first))
             for first in range(first_game, first_game + games, chunk_size))
    written: list[dict[str, Any]] = []
    progress = Progress(games, progress_stream, "games") if progress_stream is not None else None
    last_save = 0.0

    def save() -> None:
        shards = manifest["shards"]
        manifest["games"] = sum(shard["games"] for shard in shards)
        manifest["plies"] = sum(shard["plies"] for shard in shards)
        manifest["bytes"] = sum(shard["bytes"] for shard in shards)
        _store.write_manifest(root, manifest)

    def done(shard: dict[str, Any]) -> None:
        nonlocal last_save
        written.append(shard)
        manifest["shards"].append(shard)
        manifest["shards"].sort(key=lambda entry: entry["first_game"])
        if time.monotonic() - last_save >= MANIFEST_INTERVAL:
            save()
            last_save = time.monotonic()
        if progress is not None:
            progress.update(sum(entry["games"] for entry in written))

    # The manifest first: a run that cannot write it (a full disk) leaves no folder of ours
    # behind that a retry would have to refuse.
    save()
    (root / _store.PLIES).mkdir(exist_ok=True)
    (root / _store.GAMES).mkdir(exist_ok=True)
    started = time.monotonic()
    status = "failed"
    try:
        if use_ray:
            _workers.run_ray(work, plan, tasks, done, ray_address, ray_init, workers)
        elif workers == 1:
            _workers.run_in_process(work, plan, tasks, done)
        else:
            assert workers is not None
            _workers.run_processes(work, plan, tasks, done, workers)
        status = "complete"
    except KeyboardInterrupt:
        status = "interrupted"
        raise
    except BaseException as error:
        run["error"] = f"{type(error).__name__}: {error}"
        raise
    finally:
        seconds = time.monotonic() - started
        if progress is not None:
            progress.update(sum(entry["games"] for entry in written), force=True)
            progress.close()
        _store.remove_temporaries(root)
        # shards that workers finished after the driver stopped listening are not in the
        # manifest: remove them, so that the folder holds exactly what the manifest says
        _store.remove_unlisted(root, manifest["shards"])
        run["status"] = status
        run["finished"] = now()
        run["seconds"] = round(seconds, 3)
        run["games_written"] = sum(entry["games"] for entry in written)
        if status != "complete":
            run["missing"] = _missing(first_game, games, written)
        statuses = {entry["status"] for entry in manifest["runs"]}
        manifest["status"] = "complete" if statuses == {"complete"} else "incomplete"
        save()
    return Summary(root=root, games=run["games_written"],
                   plies=sum(entry["plies"] for entry in written), shards=len(written),
                   bytes=sum(entry["bytes"] for entry in written), seconds=seconds,
                   backend=backend, status=status, first_game=first_game)


def _missing(first_game: int, games: int, written: list[dict[str, Any]]) -> list[list[int]]:
    """The game ranges [first, last] of a run that no written shard holds."""
    gaps, at = [], first_game
    for shard in sorted(written, key=lambda entry: entry["first_game"]):
        if shard["first_game"] > at:
            gaps.append([at, shard["first_game"] - 1])
        at = shard["first_game"] + shard["games"]
    if at < first_game + games:
        gaps.append([at, first_game + games - 1])
    return gaps


def print_summary(summary: Summary, out: TextIO) -> None:
    games = max(1, summary.games)
    rate = summary.games / summary.seconds if summary.seconds > 0 else float("inf")
    out.write(
        f"wrote games {summary.first_game} to {summary.first_game + summary.games - 1} "
        f"({summary.games} games, {summary.plies:,} placements) in {summary.shards} shards to "
        f"{summary.root}: {summary.bytes / 1e6:,.2f} MB, {summary.bytes / games:,.0f} bytes per "
        f"game\n{summary.seconds:.2f} s, {rate:,.1f} games/s, "
        f"{summary.plies / max(summary.seconds, 1e-9):,.0f} placements/s on {summary.backend}\n")
    out.flush()


if __name__ == "__main__":  # pragma: no cover
    sys.exit("use python -m tavrin_rl --out DIR")
