"""A training run's log in TensorBoard's format (`train --tensorboard DIR`), beside `log.csv`
and the curve: every number of a logged row becomes a scalar at the row's step, so that
`tensorboard --logdir DIR` draws the run while it goes on.

    log = TensorBoardLog("runs/tb", step="update")
    log.write(row)      # after each row joins log.csv, and again when a row gains a value
    log.close()

It writes with torch's `SummaryWriter`, which needs the `tensorboard` package (the `train`
extra). The trainer adds the option with `add_option(parser)` and opens the log with
`open_log(args.tensorboard, "update", rows)` once its rows are read back (None without the
option); it writes each row once it is saved to log.csv, and closes the log at the end.
"""

from __future__ import annotations

import importlib
import math
import os
from argparse import ArgumentParser
from collections.abc import Iterable, Mapping
from typing import Any

from tavrin_rl._extras import needs_extra


def _number(value: Any) -> float | None:
    """A row's value as a float, or None for what is no number (a phase name, an evaluation not
    made yet: "" in a CSV row read back)."""
    if isinstance(value, bool) or value is None:
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


class TensorBoardLog:
    """Scalars of a run's rows in `directory`, each at the row's `step` column.

    written: the rows already logged (a resumed run's rows read back from log.csv), which are
    not written again. A row written again (an evaluation added to the last row) writes only the
    values that are new or changed, so no point is drawn twice."""

    def __init__(self, directory: str | os.PathLike[str], step: str = "update",
                 written: Iterable[Mapping[str, Any]] = ()) -> None:
        try:
            importlib.import_module("tensorboard")  # torch's writer needs it, and names it less clearly
            from torch.utils.tensorboard import SummaryWriter
        except ModuleNotFoundError as error:
            raise needs_extra("train --tensorboard", "train", error) from error
        self.step = step
        self.directory = os.fspath(directory)
        self._seen: dict[tuple[int, str], float] = {}
        for row in written:
            self._new_values(row)
        try:
            self._writer = SummaryWriter(log_dir=self.directory)
        except OSError as error:
            raise OSError(f"cannot write the TensorBoard log in {self.directory}: "
                          f"{error.strerror or error}") from None

    def _new_values(self, row: Mapping[str, Any]) -> tuple[int, dict[str, float]]:
        step = _number(row.get(self.step))
        if step is None:
            raise ValueError(f"a logged row needs a number in {self.step!r}, got "
                             f"{row.get(self.step)!r}")
        at = int(step)
        new = {}
        for key, value in row.items():
            number = _number(value)
            if key == self.step or number is None or self._seen.get((at, key)) == number:
                continue
            self._seen[(at, key)] = number
            new[key] = number
        return at, new

    def write(self, row: Mapping[str, Any]) -> None:
        """Logs the row's numbers (the step column excepted) at its step, and flushes, so that
        TensorBoard shows them at once and a run stopped by Ctrl-C keeps them."""
        at, new = self._new_values(row)
        for key, number in new.items():
            self._writer.add_scalar(key, number, global_step=at)
        self._writer.flush()

    def close(self) -> None:
        self._writer.close()

    def __enter__(self) -> TensorBoardLog:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def add_option(parser: ArgumentParser) -> None:
    """`--tensorboard DIR` on a trainer's command line."""
    parser.add_argument("--tensorboard", metavar="DIR",
                        help="also write the run's log in TensorBoard's format into DIR "
                             "(`tensorboard --logdir DIR` shows it; needs the train extra)")


def open_log(directory: str | os.PathLike[str] | None, step: str = "update",
             written: Iterable[Mapping[str, Any]] = ()) -> TensorBoardLog | None:
    """The log for `--tensorboard DIR`, or None when the option was not given."""
    return None if directory is None else TensorBoardLog(directory, step, written)
