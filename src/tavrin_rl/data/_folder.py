"""The output folder of a dataset: refusing one we must not write into, its lock, clearing it."""

from __future__ import annotations

import contextlib
import datetime
import fcntl
import shutil
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from tavrin_rl.data import _store


class DatasetError(Exception):
    """A dataset cannot be written where or how it was asked for; nothing was changed."""


def now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def package_version() -> str:
    try:
        from importlib.metadata import version
        return version("tavrin_rl")
    except Exception:  # run from a source tree that is not installed
        return "unknown"


@contextlib.contextmanager
def locked(root: Path) -> Iterator[None]:
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


def check_output(root: Path, append: bool, overwrite: bool,
                 visits: bool | None = None) -> dict[str, Any] | None:
    """Refuses an output folder we must not write into; returns its manifest when it holds a
    dataset to append to. `visits` True or False asks for the search's root visits or not; an
    append must match the dataset (None follows it)."""
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
    version = manifest.get("format_version")
    if version not in _store.APPENDABLE_VERSIONS:
        raise DatasetError(f"{root} holds a dataset of format version {version}, this writes "
                           f"versions {_store.FORMAT_VERSION} and {_store.VISITS_VERSION}")
    if not (append or overwrite):
        raise DatasetError(f"{root} already holds a dataset of {manifest.get('games', 0)} games; "
                           "pass --append to add games to it or --overwrite to replace it")
    if not append:
        return None
    holds = version == _store.VISITS_VERSION
    if visits is not None and visits != holds:
        raise DatasetError(f"{root} holds a dataset {'with' if holds else 'without'} the "
                           f"search's visits (format version {version}); append "
                           f"{'with' if holds else 'without'} --visits")
    return manifest


def clear(root: Path) -> None:
    """Removes a dataset we are about to overwrite: only the files a dataset consists of."""
    for folder in (_store.PLIES, _store.GAMES):
        shutil.rmtree(root / folder, ignore_errors=True)
    (root / _store.MANIFEST).unlink(missing_ok=True)
    _store.remove_temporaries(root)
