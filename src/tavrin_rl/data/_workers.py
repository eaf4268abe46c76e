"""Where a dataset's chunks run: in this process, in local worker processes, or as Ray tasks.

Every backend calls `work(plan, first_game, count)` for each chunk, plays a chunk again when it
raises or its worker dies (up to ATTEMPTS tries), and hands each chunk's result to `done`: a
shard's manifest entry for the dataset writer, the finished games' records for the arena. Ctrl-C reaches the driver alone: workers ignore it, and the driver stops them.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import multiprocessing
import signal
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

ATTEMPTS = 3  # tries per chunk, the first included
RAY_LOOK_INTERVAL = 10.0  # seconds between looks at a Ray cluster's size

Task = tuple[int, int]  # (first game, count)
Done = Callable[[Any], None]
Work = Callable[[Any, int, int], Any]  # (plan, first game, count) -> the chunk's result


def ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the driver alone decides what happens then. The
    # worker was born with SIGINT blocked (see `interrupts_blocked`): ignore it, then unblock.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


@contextlib.contextmanager
def interrupts_blocked() -> Iterator[None]:
    """Blocks SIGINT in this thread while worker processes may start: a child inherits the mask,
    so a Ctrl-C during its start-up waits until it ignores SIGINT instead of killing it and
    breaking the pool. The driver gets its own Ctrl-C when the block is lifted."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def run_in_process(work: Work, plan: Any, tasks: Iterator[Task], done: Done) -> None:
    for first, count in tasks:
        for attempt in range(1, ATTEMPTS + 1):
            try:
                done(work(plan, first, count))
                break
            except Exception:
                if attempt == ATTEMPTS:
                    raise


class Interrupts:
    """While running, Ctrl-C sets a flag instead of raising: a KeyboardInterrupt raised inside
    concurrent.futures or Ray (between acquiring and releasing a lock) deadlocks their threads at
    exit. The driver polls the flag between waits and raises KeyboardInterrupt itself."""

    POLL = 0.2  # seconds between looks at the flag

    def __init__(self) -> None:
        self.flag = threading.Event()
        self.previous: Any = None

    def __enter__(self) -> Interrupts:
        if threading.current_thread() is threading.main_thread():
            self.previous = signal.signal(signal.SIGINT, lambda *_: self.flag.set())
        return self

    def __exit__(self, *exc: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)

    def check(self) -> None:
        if self.flag.is_set():
            raise KeyboardInterrupt


def run_processes(work: Work, plan: Any, tasks: Iterator[Task], done: Done, workers: int) -> None:
    """K worker processes; a chunk that raises, or whose process dies, is played again (in a
    new pool when its process died and broke the pool)."""
    context = multiprocessing.get_context("spawn")  # no fork of a driver that may hold threads
    lost: list[Task] = []  # chunks whose pool broke, played first by the next pool
    attempts: dict[Task, int] = {}
    # one flag for every pool: a Ctrl-C that breaks a pool must stop the run, not start a new one
    with Interrupts() as interrupts:
        while True:
            interrupts.check()
            pool = concurrent.futures.ProcessPoolExecutor(
                max_workers=workers, mp_context=context, initializer=ignore_interrupts)
            try:
                finished = _feed(pool, work, plan, tasks, lost, attempts, done, interrupts, workers)
            except BaseException:
                stop_pool(pool)
                raise
            pool.shutdown(wait=True)
            if finished:
                return


def _feed(pool: concurrent.futures.ProcessPoolExecutor, work: Work, plan: Any, tasks: Iterator[Task],
          lost: list[Task], attempts: dict[Task, int], done: Done, interrupts: Interrupts,
          workers: int) -> bool:
    """Keeps the pool busy with at most two chunks per worker (the plan may be far too long to
    hold) and hands every finished chunk to `done`. Returns False when the pool broke: its
    chunks are then in `lost`."""
    running: dict[concurrent.futures.Future[Any], Task] = {}
    broken = False

    def submit(task: Task) -> None:
        nonlocal broken
        attempts[task] = attempts.get(task, 0) + 1
        try:
            with interrupts_blocked():  # submit starts the worker processes
                running[pool.submit(work, plan, *task)] = task
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


def stop_pool(pool: concurrent.futures.ProcessPoolExecutor) -> None:
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


def import_ray() -> Any:
    try:
        import ray
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError("--ray needs ray: pip install 'tavrin_rl[ray]'",
                                  name=error.name) from error
    return ray


def run_ray(work: Work, plan: Any, tasks: Iterator[Task], done: Done, address: str | None,
             ray_init: dict[str, Any], in_flight: int | None) -> None:
    """One Ray task per chunk. Ray plays a task again when it raises or its worker dies. A local
    instance started here is shut down on every way out, Ctrl-C included: left running, its
    processes outlive the command."""
    ray = import_ray()
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
                with Interrupts() as starting, interrupts_blocked():
                    ray.init(**options)
                starting.check()
        with Interrupts() as interrupts:
            _run_ray_tasks(ray, work, plan, tasks, done, in_flight, interrupts)
    finally:
        if started_here:
            ray.shutdown()


def _call(work: Work, plan: Any, first_game: int, count: int) -> Any:
    # Ray makes tasks of plain functions only; the work (any callable) travels as an argument.
    return work(plan, first_game, count)


def _run_ray_tasks(ray: Any, work: Work, plan: Any, tasks: Iterator[Task], done: Done,
                   in_flight: int | None, interrupts: Interrupts) -> None:
    remote = ray.remote(num_cpus=1, max_retries=ATTEMPTS - 1, retry_exceptions=True)(_call)
    # The plan (with any nets' weights) goes to the object store once and reaches every task
    # from there, rather than once per task.
    plan = ray.put(plan)
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
                refs[remote.remote(work, plan, *task)] = task
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
