"""A training run's files replaced together: each written to a temporary beside it, then all
renamed into place with Ctrl-C held off, so that a run's checkpoint, policy, log and curve never
disagree after an interruption or a full disk. The straight runs and expert iteration share it."""

from __future__ import annotations

import contextlib
import os
import signal
import threading
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any


@contextlib.contextmanager
def ctrl_c_held() -> Iterator[None]:
    """Ctrl-C waits until the block is done (then raises KeyboardInterrupt): the run's files
    are renamed into place together, never some of them."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: caught.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if caught and previous is signal.default_int_handler:
            raise KeyboardInterrupt


def write_files(writers: Sequence[tuple[Path, Callable[[Any], None]]]) -> None:
    """Each `writer(file)` into a temporary beside its path, then every temporary renamed over
    its path in order, with Ctrl-C held off: either all files are replaced or none (and the
    temporaries are removed)."""
    temporaries: list[Path] = []
    path = writers[0][0]
    try:
        with ctrl_c_held():
            for path, writer in writers:
                temporary = path.with_name(path.name + ".tmp")
                temporaries.append(temporary)
                with open(temporary, "wb") as f:
                    writer(f)
            for (path, _), temporary in zip(writers, temporaries):
                os.replace(temporary, path)
    except BaseException as error:
        for temporary in temporaries:
            with contextlib.suppress(OSError):
                temporary.unlink()
        # torch.save reports a failed write (a full disk) as a RuntimeError of its own while
        # the OSError it met is in the chain: the OSError is what the user needs to hear
        cause: BaseException | None = error
        while cause is not None and not isinstance(cause, OSError):
            cause = cause.__cause__ or cause.__context__
        if isinstance(cause, OSError):  # named by the file the user knows, not its temporary
            raise OSError(cause.errno, cause.strerror, str(path)) from error
        raise
