"""What the machine offers this process."""

from __future__ import annotations

import os


def available_cpus() -> int:
    """The CPUs this process may run on (its affinity mask where the platform has one)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # platforms without affinity masks
        return os.cpu_count() or 1
