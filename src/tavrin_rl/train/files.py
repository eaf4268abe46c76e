"""The run writer's first home: a run's files are replaced together by `tavrin_rl._atomic`
(`run_folder.save` for the four files of a run). Kept for the code that imports these names."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from tavrin_rl._atomic import ctrl_c_held, replace_together

__all__ = ["ctrl_c_held", "write_files"]


def write_files(writers: Sequence[tuple[Path, Callable[[Any], None]]]) -> None:
    """Each `writer(file)` written beside its path, then all replaced together (files of one
    folder): either every file is replaced or none, across Ctrl-C and a kill."""
    replace_together(list(writers))
