"""A training run's folder, shared by the recipes (PPO in `ppo_run`, expert iteration in
`expert`): refusing a folder the run must not write, holding it against a second run, resuming
from its checkpoint and log, and replacing its four files together. The messages of a refused
folder or resume, of Ctrl-C and of a failed write are written here, in one style for both
recipes: "tavrin_rl train: ..." on standard error and the exit status.

A run's files are `checkpoint.pt` (the nets and counters, read back with
`torch.load(weights_only=True)`), `log.csv` (one row per update or round), `curve.svg` and
`policy.npz`. They are replaced as one (`tavrin_rl._atomic.replace_together`): after a kill at
any point all four belong to the same update or round, and a resume gives what a straight run
gives. The folder's lock is the datasets' (`data._folder.locked`): a file lock the system frees
when its holder dies, so a second run or a second --resume on the folder is refused while the
first goes on.
"""

from __future__ import annotations

import contextlib
import csv
import io
import os
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, TextIO

from tavrin_rl._atomic import JOURNAL_SUFFIX, TEMP_MARK, recover, replace_together
from tavrin_rl._command import MAX_SEED

#: The files of a run, besides what a recipe keeps next to them (the PPO pool's `pool/`).
RUN_FILES = ("checkpoint.pt", "log.csv", "policy.npz", "curve.svg")
LOCK = ".lock"  # the datasets' lock file name (`data._store.LOCK`)


class RunError(Exception):
    """Ends a run with one line on standard error and `status`."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def tell(err: TextIO | None, message: str) -> None:
    if err is not None:
        err.write(f"tavrin_rl train: {message}\n")


def guarded(run: Callable[[], int], err: TextIO | None) -> int:
    """`run()`'s status, or a RunError's line and status."""
    try:
        return run()
    except RunError as error:
        tell(err, str(error))
        return error.status


def _leftover(name: str) -> bool:
    # the lock, a journal of files being replaced together, and temporaries of this writer or
    # of the writer before it ("NAME.tmp")
    return name == LOCK or TEMP_MARK in name or name.endswith(JOURNAL_SUFFIX) or (
        name.endswith(".tmp") and name[:-4] in RUN_FILES)


def check_output(folder: Path, resume: bool) -> None:
    """Refuse an --out that is not a folder, a folder of something else's, a run when a new
    one is asked for, and a folder without a run to resume (RunError, status 2); nothing is
    created."""
    if folder.exists() and not folder.is_dir():
        raise RunError(f"--out {folder} is not a folder", 2)
    checkpoint = folder / "checkpoint.pt"
    if resume:
        if not checkpoint.is_file():
            raise RunError(f"nothing to resume: no {checkpoint}", 2)
        return
    if checkpoint.exists():
        raise RunError(f"{folder} holds a run already: --resume it or choose another --out", 2)
    try:
        entries = sorted(entry.name for entry in folder.iterdir()
                         if not _leftover(entry.name)) if folder.exists() else []
    except OSError as error:
        raise RunError(f"cannot read --out {folder}: {error.strerror or error}", 2) from None
    if entries:
        raise RunError(f"{folder} is not empty and holds no tavrin_rl run (it has "
                       f"{', '.join(entries[:3])}{', ...' if len(entries) > 3 else ''}): "
                       "choose an empty or new folder", 2)


@contextlib.contextmanager
def held(folder: Path, resume: bool) -> Iterator[None]:
    """The run's hold on `folder`: checked, created, locked against other runs and checked
    again under the lock (another run may have started meanwhile), an interrupted replacement
    of its files completed. RunError (status 2) when it cannot be had."""
    check_output(folder, resume)
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise RunError(f"cannot create {folder}: {error.strerror or error}", 2) from None
    from tavrin_rl.data._folder import DatasetError, locked
    hold = contextlib.ExitStack()
    try:
        hold.enter_context(locked(folder))
    except DatasetError:
        raise RunError(f"{folder} is in use by another run: wait for it to end, or choose "
                       "another --out", 2) from None
    except OSError as error:  # a folder others may read but not lock
        raise RunError(f"cannot lock {folder}: {error.strerror or error}", 2) from None
    with hold:
        try:  # first, so that a run killed while saving its first files is a run to resume
            recover(folder)
            for name in RUN_FILES:  # the writer before replace_together left these on a kill
                with contextlib.suppress(FileNotFoundError):
                    (folder / f"{name}.tmp").unlink()
        except OSError as error:
            raise RunError(f"cannot complete the files of {folder}: "
                           f"{error.strerror or error}", 2) from None
        check_output(folder, resume)
        yield


def damaged(path: Path) -> RunError:
    return RunError(f"cannot resume: {path} is damaged or not a tavrin_rl checkpoint", 2)


def load_checkpoint(path: Path, counters: dict[str, Any]) -> dict[str, Any]:
    """The checkpoint at `path`, read as data only (`weights_only`: a file cannot run code), its
    `state` checked against `counters` (name: type or tuple of types; "seed" also 0 to
    2**64 - 1, whole numbers never negative). Anything else is RunError (status 2)."""
    import torch
    try:
        saved = torch.load(path, weights_only=True, map_location="cpu")
    except Exception:  # torch.load's many ways to refuse a file
        raise damaged(path) from None
    if not isinstance(saved, dict) or not isinstance(saved.get("state"), dict):
        raise damaged(path)
    check_state(path, saved["state"], counters)
    return saved


def check_state(path: Path, state: dict[str, Any], counters: dict[str, Any]) -> None:
    """RunError (status 2) unless `state` holds `counters` as `load_checkpoint` says."""
    for key, kind in counters.items():
        value = state.get(key)
        if isinstance(value, bool) and kind is not bool or not isinstance(value, kind):
            raise damaged(path)
        if isinstance(value, (int, float)) and not isinstance(value, bool) and not (
                0 <= value <= (MAX_SEED if key == "seed" else float("inf"))):
            raise damaged(path)


def load_state(path: Path, module: Any, state: Any) -> None:
    """`state` loaded into `module` (a net or an optimiser), its tensors finite; RunError
    (status 2) when the checkpoint's does not fit."""
    import torch
    try:
        module.load_state_dict(state)
        if isinstance(module, torch.nn.Module) and not all(
                bool(torch.isfinite(t).all()) for t in module.state_dict().values()):
            raise ValueError("not finite")
    except Exception:  # load_state_dict's many ways to refuse a state
        raise damaged(path) from None


def read_log(folder: Path, counter: str, last: int) -> list[dict[str, Any]]:
    """The log's rows up to `last` of column `counter` (the rows of the checkpoint's update or
    round and before: a log written after it never counts); RunError (status 2) when damaged."""
    path = folder / "log.csv"
    if not path.exists():
        return []
    try:
        with open(path, newline="") as f:
            return [r for r in csv.DictReader(f) if int(r[counter]) <= last]
    except (OSError, ValueError, KeyError, TypeError, csv.Error):
        raise RunError(f"cannot resume: {path} is damaged", 2) from None


def save(folder: Path, rows: Sequence[dict[str, Any]], columns: Sequence[str], curve: str,
         policy: dict[str, Any], checkpoint: dict[str, Any]) -> None:
    """The log of `rows`, the curve, the policy file's arrays and the checkpoint, replaced
    together."""
    import numpy as np
    import torch
    log = io.StringIO(newline="")
    writer = csv.DictWriter(log, fieldnames=list(columns), extrasaction="ignore")
    writer.writeheader()
    writer.writerows(rows)
    replace_together([
        (folder / "log.csv", log.getvalue()),
        (folder / "policy.npz", lambda f: np.savez_compressed(f, **policy)),
        (folder / "curve.svg", curve),
        (folder / "checkpoint.pt", lambda f: torch.save(checkpoint, f)),
    ])


def kept(folder: Path, what: str) -> str:
    """What the folder keeps after a failure: `what` (the last complete update or round), or
    nothing."""
    checkpoint = folder / "checkpoint.pt"
    return f"{checkpoint} keeps {what}" if checkpoint.exists() else "nothing was saved"


def interrupted(folder: Path) -> str:
    """The line a run stopped by Ctrl-C prints: where to resume from, when there is anything."""
    checkpoint = folder / "checkpoint.pt"
    if checkpoint.exists():
        return f"interrupted; the last checkpoint is in {checkpoint} (--resume)"
    return "interrupted before anything was saved: nothing to resume"


def write_failed(folder: Path, error: OSError, what: str) -> RunError:
    """A full disk or a folder made read-only under the run, in one line."""
    where = error.filename or folder
    return RunError(f"cannot write {where}: {error.strerror or error}; {kept(folder, what)}")


def remove(path: Path) -> None:
    """A file or folder the run no longer needs, if it is there."""
    if path.is_dir():
        import shutil
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
