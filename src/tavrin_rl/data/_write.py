"""Writing a dataset: chunks of games spread over local processes or Ray tasks.

The driver (the process that runs `write_dataset`) owns the manifest. Workers play a chunk, write
its shard atomically and return the shard's manifest entry; the driver records it and redraws the
progress bar. Which worker plays which chunk never changes a row: every game is seeded by its
number (`game_seed`).
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import datetime
import fcntl
import math
import multiprocessing
import os
import shutil
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TextIO

from tavrin_rl.data import _store
from tavrin_rl.data._play import play_chunk

# Chunks are sized from the number of games alone, never from the number of workers, so that the
# same command lays out the same shards on any machine.
MIN_CHUNK = 16
MAX_CHUNK = 1000
TARGET_CHUNKS = 32
ATTEMPTS = 3  # tries per chunk, the first included
MANIFEST_INTERVAL = 1.0  # seconds between manifest updates while running
RAY_LOOK_INTERVAL = 10.0  # seconds between looks at a Ray cluster's size

# Test hook: "FIRST_GAME:MARKER_FILE:raise|exit" makes the chunk starting at FIRST_GAME fail once
# (the marker file records that it did), after leaving a half-written file behind: by raising, or
# by ending its worker process at once as a crash would.
FAIL_ONCE_VARIABLE = "TAVRIN_RL_TEST_FAIL_ONCE"


class DatasetError(Exception):
    """A dataset cannot be written where or how it was asked for; nothing was changed."""


def default_chunk_size(games: int) -> int:
    return max(MIN_CHUNK, min(MAX_CHUNK, math.ceil(games / TARGET_CHUNKS)))


def available_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


@dataclass(frozen=True)
class Plan:
    """What every task needs to play and write its chunk; small and picklable."""

    root: str
    seed: int
    agents: tuple[str, ...]
    fail_once: tuple[int, str, str] | None = None


def write_chunk(plan: Plan, first_game: int, count: int) -> dict[str, Any]:
    """Plays games [first_game, first_game + count) and writes their shard: one task."""
    if plan.fail_once is not None and plan.fail_once[0] == first_game:
        _fail_once(plan, first_game)
    chunk = play_chunk(first_game, count, plan.agents, plan.seed)
    return _store.write_shard(plan.root, chunk)


def _fail_once(plan: Plan, first_game: int) -> None:
    assert plan.fail_once is not None
    _, marker, how = plan.fail_once
    try:
        with open(marker, "x"):
            pass
    except FileExistsError:
        return  # failed once already: this is the retry
    half = Path(plan.root) / _store.PLIES / (
        _store.shard_name(first_game) + f"{_store.TEMP_MARK}failed-{os.getpid()}")
    half.write_bytes(b"PAR1 half a shard")
    if how == "exit":
        os._exit(1)
    raise RuntimeError(f"test hook: the chunk of game {first_game} fails once")


def _parse_fail_once() -> tuple[int, str, str] | None:
    value = os.environ.get(FAIL_ONCE_VARIABLE)
    if not value:
        return None
    first, marker, how = value.split(":", 2)
    if how not in ("raise", "exit"):
        raise ValueError(f"{FAIL_ONCE_VARIABLE}: expected FIRST_GAME:MARKER:raise|exit")
    return int(first), marker, how


# --- the output folder -------------------------------------------------------------------------

def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def _package_version() -> str:
    try:
        from importlib.metadata import version
        return version("tavrin_rl")
    except Exception:  # run from a source tree that is not installed
        return "unknown"


@contextlib.contextmanager
def _locked(root: Path) -> Iterator[None]:
    """Holds the dataset's lock file: two runs writing one dataset would lose shards."""
    with open(root / _store.LOCK, "a") as lock:
        try:
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise DatasetError(f"{root} is being written by another run") from None
        try:
            yield
        finally:
            fcntl.flock(lock.fileno(), fcntl.LOCK_UN)


def check_output(root: Path, append: bool, overwrite: bool) -> dict[str, Any] | None:
    """Refuses an output folder we must not write into; returns its manifest when it holds a
    dataset to append to."""
    if append and overwrite:
        raise DatasetError("--append and --overwrite exclude each other")
    if root.exists() and not root.is_dir():
        raise DatasetError(f"{root} exists and is not a directory")
    if not root.exists() or _store.holds_only_leftovers(root):
        return None
    manifest = _store.read_manifest(root)
    if manifest is None:
        raise DatasetError(f"{root} is not empty and holds no tavrin_rl dataset; "
                           "choose a new or empty directory")
    if manifest.get("format_version") != _store.FORMAT_VERSION:
        raise DatasetError(f"{root} holds a dataset of format version "
                           f"{manifest.get('format_version')}, this is version "
                           f"{_store.FORMAT_VERSION}")
    if not (append or overwrite):
        raise DatasetError(f"{root} already holds a dataset of {manifest.get('games', 0)} games; "
                           "pass --append to add games to it or --overwrite to replace it")
    return manifest if append else None


def _clear(root: Path) -> None:
    """Removes a dataset we are about to overwrite: only the files a dataset consists of."""
    for folder in (_store.PLIES, _store.GAMES):
        shutil.rmtree(root / folder, ignore_errors=True)
    (root / _store.MANIFEST).unlink(missing_ok=True)
    _store.remove_temporaries(root)


# --- progress ----------------------------------------------------------------------------------

class Progress:
    """A one-line bar on a terminal stream: games done, games/s and the time left."""

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.started = time.monotonic()
        self.last_draw = 0.0

    def update(self, done: int, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self.last_draw < 0.1:
            return
        self.last_draw = now
        elapsed = now - self.started
        rate = done / elapsed if elapsed > 0 else 0.0
        if done >= self.total:
            eta = "done"
        elif rate > 0:
            eta = "ETA " + _clock((self.total - done) / rate)
        else:
            eta = "ETA ?"
        filled = self.WIDTH * done // max(1, self.total)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.stream.write(f"\r[{bar}] {done}/{self.total} games  {rate:,.1f} games/s  {eta}  ")
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\n")
        self.stream.flush()


def _clock(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


# --- backends ----------------------------------------------------------------------------------

Task = tuple[int, int]  # (first game, count)
Done = Callable[[dict[str, Any]], None]


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the driver alone decides what happens then. The
    # worker was born with SIGINT blocked (see `_interrupts_blocked`): ignore it, then unblock.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


@contextlib.contextmanager
def _interrupts_blocked() -> Iterator[None]:
    """Blocks SIGINT in this thread while worker processes may start: a child inherits the mask,
    so a Ctrl-C during its start-up waits until it ignores SIGINT instead of killing it and
    breaking the pool. The driver gets its own Ctrl-C when the block is lifted."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _run_in_process(plan: Plan, tasks: Iterator[Task], done: Done) -> None:
    for first, count in tasks:
        for attempt in range(1, ATTEMPTS + 1):
            try:
                done(write_chunk(plan, first, count))
                break
            except Exception:
                if attempt == ATTEMPTS:
                    raise


class _Interrupts:
    """While running, Ctrl-C sets a flag instead of raising: a KeyboardInterrupt raised inside
    concurrent.futures or Ray (between acquiring and releasing a lock) deadlocks their threads at
    exit. The driver polls the flag between waits and raises KeyboardInterrupt itself."""

    POLL = 0.2  # seconds between looks at the flag

    def __init__(self) -> None:
        self.flag = threading.Event()
        self.previous: Any = None

    def __enter__(self) -> _Interrupts:
        if threading.current_thread() is threading.main_thread():
            self.previous = signal.signal(signal.SIGINT, lambda *_: self.flag.set())
        return self

    def __exit__(self, *exc: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)

    def check(self) -> None:
        if self.flag.is_set():
            raise KeyboardInterrupt


def _run_processes(plan: Plan, tasks: Iterator[Task], done: Done, workers: int) -> None:
    """K worker processes; a chunk that raises, or whose process dies, is played again (in a
    new pool when its process died and broke the pool)."""
    context = multiprocessing.get_context("spawn")  # no fork of a driver that may hold threads
    lost: list[Task] = []  # chunks whose pool broke, played first by the next pool
    attempts: dict[Task, int] = {}
    # one flag for every pool: a Ctrl-C that breaks a pool must stop the run, not start a new one
    with _Interrupts() as interrupts:
        while True:
            interrupts.check()
            pool = concurrent.futures.ProcessPoolExecutor(
                max_workers=workers, mp_context=context, initializer=_ignore_interrupts)
            try:
                finished = _feed(pool, plan, tasks, lost, attempts, done, interrupts, workers)
            except BaseException:
                _stop_pool(pool)
                raise
            pool.shutdown(wait=True)
            if finished:
                return


def _feed(pool: concurrent.futures.ProcessPoolExecutor, plan: Plan, tasks: Iterator[Task],
          lost: list[Task], attempts: dict[Task, int], done: Done, interrupts: _Interrupts,
          workers: int) -> bool:
    """Keeps the pool busy with at most two chunks per worker (the plan may be far too long to
    hold) and hands every finished chunk to `done`. Returns False when the pool broke: its
    chunks are then in `lost`."""
    running: dict[concurrent.futures.Future[dict[str, Any]], Task] = {}
    broken = False

    def submit(task: Task) -> None:
        nonlocal broken
        attempts[task] = attempts.get(task, 0) + 1
        try:
            with _interrupts_blocked():  # submit starts the worker processes
                running[pool.submit(write_chunk, plan, *task)] = task
        except concurrent.futures.process.BrokenProcessPool:
            broken = True
            lost.append(task)

    while True:
        interrupts.check()
        while not broken and len(running) < 2 * workers:
            task = lost.pop() if lost else next(tasks, None)
            if task is None:
                break
            submit(task)
        if not running:
            return not broken
        finished, _ = concurrent.futures.wait(
            running, timeout=interrupts.POLL, return_when=concurrent.futures.FIRST_COMPLETED)
        for future in finished:
            task = running.pop(future)
            try:
                shard = future.result()
            except concurrent.futures.process.BrokenProcessPool:
                # a worker died: every chunk still running is lost with the pool
                if attempts[task] >= ATTEMPTS:
                    raise
                broken = True
                lost.append(task)
                continue
            except Exception:
                if attempts[task] >= ATTEMPTS:
                    raise
                submit(task)
                continue
            del attempts[task]
            done(shard)


def _stop_pool(pool: concurrent.futures.ProcessPoolExecutor) -> None:
    """Ends the workers at once: a half-written file stays half written, and the driver removes
    it. Then waits for the pool's own thread, which sees the workers gone and ends (left
    running, it races the interpreter's exit and may write to a closed pipe)."""
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14 and later
    if terminate is not None:
        terminate()
        return
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.terminate()
    pool.shutdown(wait=True, cancel_futures=True)


def _import_ray() -> Any:
    try:
        import ray
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError("--ray needs ray: pip install 'tavrin_rl[ray]'",
                                  name=error.name) from error
    return ray


def _run_ray(plan: Plan, tasks: Iterator[Task], done: Done, address: str | None,
             ray_init: dict[str, Any], in_flight: int | None) -> None:
    """One Ray task per chunk. Ray plays a task again when it raises or its worker dies. A local
    instance started here is shut down on every way out, Ctrl-C included: left running, its
    processes outlive the command."""
    ray = _import_ray()
    started_here = not ray.is_initialized()
    try:
        if started_here:
            import logging
            options: dict[str, Any] = {"include_dashboard": False,
                                       "logging_level": logging.WARNING}
            options.update(ray_init)
            if address:
                ray.init(address=address, **options)  # only connects: Ctrl-C may stop it at once
            else:
                # Ray's processes start here: a Ctrl-C waits until they are all up (and known to
                # ray.shutdown), and their start-up never sees it
                with _Interrupts() as starting, _interrupts_blocked():
                    ray.init(**options)
                starting.check()
        with _Interrupts() as interrupts:
            _run_ray_tasks(ray, plan, tasks, done, in_flight, interrupts)
    finally:
        if started_here:
            ray.shutdown()


def _run_ray_tasks(ray: Any, plan: Plan, tasks: Iterator[Task], done: Done,
                   in_flight: int | None, interrupts: _Interrupts) -> None:
    remote = ray.remote(num_cpus=1, max_retries=ATTEMPTS - 1, retry_exceptions=True)(write_chunk)
    refs: dict[Any, Task] = {}
    limit, looked = in_flight or 1, 0.0
    try:
        while True:
            interrupts.check()
            if in_flight is None and time.monotonic() - looked > RAY_LOOK_INTERVAL:
                # not limited: twice the cluster's CPUs keeps it busy (and follows it as it grows)
                # without submitting a plan that may be far too long to hold
                limit = max(1, 2 * int(ray.cluster_resources().get("CPU", 1)))
                looked = time.monotonic()
            while len(refs) < limit:
                task = next(tasks, None)
                if task is None:
                    break
                refs[remote.remote(plan, *task)] = task
            if not refs:
                return
            ready, _ = ray.wait(list(refs), num_returns=1, timeout=interrupts.POLL)
            for ref in ready:
                del refs[ref]
                done(ray.get(ref))
    except BaseException:
        for ref in refs:
            ray.cancel(ref, force=True)
        raise


# --- the run -----------------------------------------------------------------------------------

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
                  progress: TextIO | None = None) -> Summary:
    """Plays `games` games between `agents` (one name per seat) and writes them to the dataset
    folder `out`. With `ray`, chunks run as Ray tasks (on the cluster at `ray_address`, or on a
    local instance started for the run); otherwise on `workers` local processes (default: the
    CPUs available; with `ray`, `workers` caps the tasks running at once). Raises DatasetError
    for an output folder it must not touch."""
    agents = tuple(agents)
    if games < 1:
        raise ValueError(f"games must be at least 1, got {games}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    chunk_size = chunk_size or default_chunk_size(games)
    if ray:
        _import_ray()  # before anything is created
    root = Path(out)
    check_output(root, append, overwrite)  # before creating anything
    root.mkdir(parents=True, exist_ok=True)
    with _locked(root):
        # checked again under the lock: another run may have written in between
        previous = check_output(root, append, overwrite)
        if overwrite:
            _clear(root)
        _store.remove_temporaries(root)
        return _run(root, previous, games, agents, seed, workers, ray, ray_address,
                    ray_init or {}, chunk_size, command, progress)


def _run(root: Path, previous: dict[str, Any] | None, games: int, agents: tuple[str, ...],
         seed: int, workers: int | None, use_ray: bool, ray_address: str | None,
         ray_init: dict[str, Any], chunk_size: int, command: Sequence[str] | None,
         progress_stream: TextIO | None) -> Summary:
    manifest = previous or {
        "format": _store.FORMAT, "format_version": _store.FORMAT_VERSION,
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
        "package_version": _package_version(),
        "seed": seed, "agents": list(agents), "first_game": first_game, "games": games,
        "chunk_size": chunk_size, "backend": backend, "started": _now(), "finished": None,
        "status": "running",
    }
    manifest["package_version"] = run["package_version"]
    manifest["runs"].append(run)
    manifest["status"] = "running"
    plan = Plan(str(root), seed, agents, _parse_fail_once())
    # planned as they are handed out: a list of every chunk of 10^12 games would not fit
    tasks = ((first, min(chunk_size, first_game + games - first))
             for first in range(first_game, first_game + games, chunk_size))
    written: list[dict[str, Any]] = []
    progress = Progress(games, progress_stream) if progress_stream is not None else None
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
            _run_ray(plan, tasks, done, ray_address, ray_init, workers)
        elif workers == 1:
            _run_in_process(plan, tasks, done)
        else:
            assert workers is not None
            _run_processes(plan, tasks, done, workers)
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
        run["finished"] = _now()
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
