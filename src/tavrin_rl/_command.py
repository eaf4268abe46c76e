"""What the commands share (`python -m tavrin_rl`, its arena and dataset options): the types of
their numeric options, the run's seed, and `run_guarded`, which turns a failing standard output,
Ctrl-C and a fault of the engine into one line on standard error and the exit status."""

from __future__ import annotations

import argparse
import os
import secrets
import sys
from collections.abc import Callable
from typing import Any, TextIO

from tavrin_rl._engine import InternalError


def _whole_number(text: str, minimum: int, rule: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < minimum:
        raise argparse.ArgumentTypeError(f"must be {rule}, got {value}")
    return value


def positive_int(text: str) -> int:
    return _whole_number(text, 1, "at least 1")


def seed(text: str) -> int:
    return _whole_number(text, 0, "0 or more")


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 <= value <= 3600:  # also refuses nan and inf
        raise argparse.ArgumentTypeError(f"must be 0 to 3600 seconds, got {text}")
    return value


def run_seed(given: int | None) -> int:
    """The --seed given, or a fresh one, which the command prints so that the run can be repeated."""
    return given if given is not None else secrets.randbelow(2**32)


def prog(command: str = "") -> str:
    """The name the user typed the command by, for usage lines and errors."""
    script = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return ("tavrin-rl" if script.startswith("tavrin-rl") else "python -m tavrin_rl") + command


class StdoutFailed(Exception):
    """Writing to standard output failed; `error` is the OSError it raised."""

    def __init__(self, error: OSError) -> None:
        super().__init__(str(error))
        self.error = error


class Stdout:
    """Standard output for a command: every OSError of a write or flush becomes `StdoutFailed`,
    so that a failing stdout is told apart from other failures (of an --html file, say)."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def _guard(self, call: Callable[[], Any]) -> Any:
        try:
            return call()
        except OSError as error:
            raise StdoutFailed(error) from error

    def write(self, text: str) -> int:
        """Write `text`; a failure raises `StdoutFailed`."""
        return self._guard(lambda: self.stream.write(text))  # type: ignore[no-any-return]

    def flush(self) -> None:
        """Flush; a failure raises `StdoutFailed`."""
        self._guard(self.stream.flush)

    def isatty(self) -> bool:
        """Whether standard output is a terminal (False once it is closed)."""
        try:
            return self.stream.isatty()
        except (ValueError, OSError):
            return False


def tell(err: TextIO | None, message: str) -> None:
    """One line on standard error, if there is one that still works."""
    if err is None:
        return
    try:
        err.write(f"tavrin_rl: {message}\n")
        err.flush()
    except (OSError, ValueError):
        pass


def is_terminal(stream: Any) -> bool:
    """Whether `stream` is a terminal: the progress bar redraws one line and needs one, colour
    and a person's echo are for one. False for a closed stream or one that is not a file."""
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


def quiet_stdout() -> None:
    """Point file descriptor 1 at /dev/null, so that the interpreter's last flush of sys.stdout
    at exit neither fails nor reports the failure a second time."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def run_guarded(command: Callable[[Any], int], err: TextIO | None) -> int:
    """`command(out)` with `out` the guarded standard output; returns its exit status, or 1 when
    standard output is closed or fails, 130 for a Ctrl-C that `command` did not handle (while
    writing its summary), 70 for a fault inside the engine."""
    if sys.stdout is None:  # started with standard output closed (>&-)
        tell(err, "standard output is closed")
        return 1
    try:
        return command(Stdout(sys.stdout))
    except StdoutFailed as failure:
        quiet_stdout()
        if isinstance(failure.error, BrokenPipeError):
            return 1  # the reader went away (`... | head`): nothing to tell
        tell(err, f"cannot write to standard output: {failure.error.strerror or failure}")
        return 1
    except KeyboardInterrupt:
        return 130
    except InternalError as error:
        # A fault inside the engine is a bug, never a state reached by play: say so in one line
        # with the text that locates it, rather than as a traceback of our own code.
        tell(err, f"internal error: {error} (a bug in tavrin_rl: please report it with the "
                  "command line)")
        return 70  # EX_SOFTWARE
