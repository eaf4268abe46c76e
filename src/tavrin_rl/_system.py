"""What the machine offers this process."""

from __future__ import annotations

import contextlib
import os
from typing import Any


def available_cpus() -> int:
    """The CPUs this process may run on (its affinity mask where the platform has one)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # platforms without affinity masks
        return os.cpu_count() or 1


def blas_threads(limit: int | None = 1) -> Any:
    """A context in which numpy's BLAS runs at most `limit` threads (None: as it is). BLAS
    starts a pool of threads in every process and lets them spin between calls: where a worker
    process per CPU, or a loop of small products, evaluates a numpy net, those threads only
    compete with the other workers (17 times the CPU of one thread per move, measured by
    benchmarks/bench_arena_blas.py). Without threadpoolctl installed, nothing is changed."""
    if limit is None:
        return contextlib.nullcontext()
    try:
        from threadpoolctl import threadpool_limits
    except ModuleNotFoundError:
        return contextlib.nullcontext()
    return threadpool_limits(limits=limit, user_api="blas")
