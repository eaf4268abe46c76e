"""The one way the package writes a file, so that no failure leaves half of one behind.

A file is written to a temporary beside it (a name unique to the host, the process and the call,
so that two runs sharing a folder never share a temporary), flushed to disk, and renamed over the
old one; then the folder is flushed, so that the rename itself survives a power cut. A failure (a
full disk, Ctrl-C) removes the temporary and leaves the old file whole.

`replace_together` replaces several files of one folder as one: a journal naming every temporary
and its target is written before the first rename, and `recover` (called before a folder's files
are read again) finishes the renames a kill interrupted. Either every file is the new one or, when
the kill came before the journal, every file is the old one.
"""

from __future__ import annotations

import contextlib
import json
import os
import signal
import socket
import stat
import threading
import uuid
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import IO, Union

#: Every temporary's name is its target's name, this mark, then host-pid-random. Readers of a
#: folder skip names holding it (a dataset's shard being written is not a shard yet).
TEMP_MARK = ".tmp-"
#: The suffix of a `replace_together` journal.
JOURNAL_SUFFIX = ".replacing"

Content = Union[bytes, str, Callable[[IO[bytes]], object]]
PathLike = Union[str, "os.PathLike[str]"]


def temporary_path(path: PathLike) -> Path:
    """A new temporary's name beside `path`, unique to this host, process and call."""
    path = Path(path)
    return path.with_name(f"{path.name}{TEMP_MARK}{socket.gethostname()}-{os.getpid()}-"
                          f"{uuid.uuid4().hex[:8]}")


@contextlib.contextmanager
def ctrl_c_held() -> Iterator[None]:
    """Ctrl-C waits until the block is done (then raises KeyboardInterrupt), so that files the
    block renames are renamed together, never some of them. Off the main thread, a no-op (only
    the main thread receives signals)."""
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


def _fill(file: IO[bytes], content: Content) -> None:
    if isinstance(content, str):
        file.write(content.encode("utf-8"))
    elif isinstance(content, (bytes, bytearray, memoryview)):
        file.write(content)
    else:
        content(file)


def _sync_folder(folder: Path) -> None:
    """Flushes `folder`'s entries (a rename) to disk, where the file system allows it."""
    try:
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:  # some file systems refuse fsync on a folder; the file itself is flushed
        pass
    finally:
        os.close(descriptor)


def _write_temporary(target: Path, content: Content) -> Path:
    """`content` in a new temporary beside `target`, flushed to disk; removed on failure."""
    temporary = temporary_path(target)
    try:
        with open(temporary, "xb") as file:
            _fill(file, content)
            file.flush()
            os.fsync(file.fileno())
    except BaseException:
        with contextlib.suppress(OSError):
            temporary.unlink()
        raise
    return temporary


def _named(error: BaseException, path: Path) -> BaseException:
    """The OSError in `error`'s chain, named by the file the user knows rather than its temporary,
    or `error` itself. torch.save, pyarrow and numpy report a failed write (a full disk) as an
    error of their own with the OSError in the chain: the OSError is what the user needs to hear."""
    cause: BaseException | None = error
    while cause is not None and not isinstance(cause, OSError):
        cause = cause.__cause__ or cause.__context__
    if isinstance(cause, OSError) and cause.errno is not None:
        named = OSError(cause.errno, cause.strerror, str(path))
        named.__cause__ = error
        return named
    return error


def write_file(path: PathLike, content: Content) -> None:
    """Writes `content` (bytes, text as UTF-8, or a callable that writes into a binary file) to
    `path`, replacing a regular file only once the new one is complete and on disk. A FIFO or a
    device (`/dev/stdout`) is written into, since renaming over it would put a regular file in its
    place. Symbolic links are followed: the file they lead to is replaced, and the link stays."""
    try:
        kind = os.stat(path).st_mode  # of the file the links lead to
    except FileNotFoundError:
        kind = None
    if kind is not None and not stat.S_ISREG(kind):
        with open(path, "wb") as file:
            _fill(file, content)
        return
    target = Path(os.path.realpath(path))
    try:
        temporary = _write_temporary(target, content)
        try:
            os.replace(temporary, target)
        except BaseException:
            with contextlib.suppress(OSError):
                temporary.unlink()
            raise
    except Exception as error:
        named = _named(error, Path(path))
        if named is error:
            raise
        raise named from error
    _sync_folder(target.parent)


def replace_together(items: Sequence[tuple[PathLike, Content]]) -> None:
    """Replaces the files of `items` (path, content), all in one folder, as one: after a failure
    or Ctrl-C none is replaced; after a kill, `recover(folder)` makes all of them the new ones
    (when the kill came after every new file was on disk) or leaves all of them old."""
    if not items:
        return
    targets = [Path(os.path.realpath(path)) for path, _ in items]
    folder = targets[0].parent
    if any(target.parent != folder for target in targets):
        raise ValueError("replace_together replaces files of one folder: got "
                         + ", ".join(str(path) for path, _ in items))
    temporaries: list[Path] = []
    journal: Path | None = None
    current = Path(items[0][0])
    try:
        with ctrl_c_held():
            for (path, content), target in zip(items, targets):
                current = Path(path)
                temporaries.append(_write_temporary(target, content))
            current = folder
            journal = folder / f".{uuid.uuid4().hex}{JOURNAL_SUFFIX}"
            write_file(journal, json.dumps(
                [[temporary.name, target.name] for temporary, target in zip(temporaries, targets)]))
            # From here on the new files are the truth: a failure rolls forward, never back.
            temporaries = []
            _roll_forward(journal)
    except Exception as error:
        for temporary in temporaries:
            with contextlib.suppress(OSError):
                temporary.unlink()
        named = _named(error, current)
        if named is error:
            raise
        raise named from error
    except BaseException:
        for temporary in temporaries:
            with contextlib.suppress(OSError):
                temporary.unlink()
        raise


def _roll_forward(journal: Path) -> None:
    folder = journal.parent
    pairs = json.loads(journal.read_text(encoding="utf-8"))
    for temporary, target in pairs:
        with contextlib.suppress(FileNotFoundError):  # renamed before an earlier interruption
            os.replace(folder / temporary, folder / target)
    _sync_folder(folder)
    journal.unlink()
    _sync_folder(folder)


def _abandoned(name: str) -> bool:
    """Whether `name` is a temporary of a process of this host that is gone."""
    _, marked, owner = name.rpartition(TEMP_MARK)
    host, _, rest = owner.rpartition("-")  # host-pid-random, and a host name may hold "-"
    host, _, pid = host.rpartition("-")
    if not marked or host != socket.gethostname() or not pid.isdigit():
        return False
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return True
    except OSError:  # alive, another user's
        return False
    return False


def recover(folder: PathLike) -> None:
    """Finishes the `replace_together` calls a kill interrupted in `folder`, and removes the
    temporaries that processes of this host, now gone, left there. Call it before reading the
    folder's files again, holding whatever keeps other writers out of the folder."""
    folder = Path(folder)
    try:
        names = sorted(entry.name for entry in os.scandir(folder))
    except (FileNotFoundError, NotADirectoryError):
        return
    for name in names:
        if name.endswith(JOURNAL_SUFFIX) and TEMP_MARK not in name:
            _roll_forward(folder / name)
    for name in names:
        if TEMP_MARK in name and _abandoned(name):
            with contextlib.suppress(OSError):
                (folder / name).unlink()
