"""What the commands share (`python -m tavrin_rl`, its arena and dataset options): the types of
their numeric options, the run's seed, and `run_guarded`, which turns a failing standard output,
Ctrl-C and a fault of the engine into one line on standard error and the exit status."""

from __future__ import annotations

import argparse
import math
import os
import re
import secrets
import sys
from collections.abc import Callable
from typing import Any, TextIO

from tavrin_rl._atomic import write_file
from tavrin_rl._engine import InternalError


#: Seeds are the engine's 64-bit stream seeds.
MAX_SEED = 2**64 - 1
#: The most games a command takes: beyond any run that ends (a billion games is months of CPU),
#: yet a run too long to plan at once is still planned as it goes, and game numbers, counts
#: and chunk sums stay far inside the engine's 64 bits.
MAX_GAMES = 10**15


def _whole_number(text: str, minimum: int, rule: str, maximum: int | None = None) -> int:
    # ASCII digits only: int() takes other scripts' digits and refuses "²" with a message about
    # int(), where a user wants to hear what the number must be
    stripped = text.strip()
    digits = stripped[1:] if stripped[:1] in "+-" else stripped
    if not (digits.isascii() and digits.isdigit()):
        shown = repr(text) if len(text) <= 40 else f"{len(text)} characters"
        raise argparse.ArgumentTypeError(f"must be a whole number {rule}, got {shown}")
    if len(digits) > 30:  # int() of 400 digits is fine, but no count or seed is that long
        raise argparse.ArgumentTypeError(f"must be {rule}, got a number of {len(digits)} digits")
    value = int(stripped)
    if value < minimum or (maximum is not None and value > maximum):
        raise argparse.ArgumentTypeError(f"must be {rule}, got {value}")
    return value


def positive_int(text: str) -> int:
    return _whole_number(text, 1, "at least 1")


def game_count(text: str) -> int:
    """A number of games: 1 to `MAX_GAMES`."""
    return _whole_number(text, 1, f"from 1 to {MAX_GAMES}", MAX_GAMES)


def seed(text: str) -> int:
    return _whole_number(text, 0, "from 0 to 2**64 - 1", MAX_SEED)


def real(text: str, rule: str, low: float = -math.inf, high: float = math.inf,
         low_included: bool = True) -> float:
    """A finite number from `low` to `high` (`low` itself only with `low_included`); else
    "must be RULE, got TEXT", RULE saying what the option takes ("0 to 10 seconds")."""
    try:
        value = float(text)
    except ValueError:
        shown = repr(text) if len(text) <= 40 else f"{len(text)} characters"
        raise argparse.ArgumentTypeError(f"must be {rule}, got {shown}") from None
    # nan compares false with everything: the first test refuses it, and inf the second
    if not (low <= value if low_included else low < value) or not math.isfinite(value) \
            or value > high:
        raise argparse.ArgumentTypeError(f"must be {rule}, got {text}")
    return value


def seconds(text: str) -> float:
    return real(text, "0 to 3600 seconds", 0, 3600)


def add_seed(parser: Any, default: int | None = None,
             help: str = "seed of the run (default: a fresh one, printed so that the run can "
                         "be repeated)") -> None:
    """--seed, as every command takes it: 0 to 2**64 - 1 (`run_seed` draws one when None)."""
    parser.add_argument("--seed", type=seed, default=default, metavar="S", help=help)


def add_workers(parser: Any, flag: str = "--workers",
                help: str = "local worker processes (default: the CPUs available); with --ray, "
                            "the most Ray tasks running at once (default: no limit)",
                default: int | None = None) -> None:
    """The local processes (or Ray tasks at once) a command plays on."""
    parser.add_argument(flag, type=positive_int, default=default, metavar="K", help=help)


def add_ray(parser: Any, flag: str = "--ray",
            help: str = "play as Ray tasks on the cluster at ADDRESS, or on a local Ray instance "
                        "started for the run when no address is given (needs tavrin_rl[ray])",
            ) -> None:
    """Ray, optionally at an address: None when not given, "" for a local instance."""
    parser.add_argument(flag, nargs="?", const="", default=None, type=ray_address,
                        metavar="ADDRESS", help=help)


_RAY_ADDRESS = re.compile(r"(ray://)?([A-Za-z0-9.\-]+|\[[0-9A-Fa-f:.]+\]):[0-9]{1,5}")  # [::1]:P too


def ray_address(text: str) -> str:
    """--ray's address: empty (a local instance started for the run), `auto`, `local`,
    `HOST:PORT` or `ray://HOST:PORT`. Anything else is refused here, as Ray would refuse it
    only after the run had started, with a traceback of its own."""
    if text in ("", "auto", "local"):
        return text
    match = _RAY_ADDRESS.fullmatch(text)
    if match is None or not 1 <= int(text.rpartition(":")[2]) <= 65535:
        raise argparse.ArgumentTypeError(
            f"not a Ray address: {text!r} (give HOST:PORT, ray://HOST:PORT or auto)")
    return text


def write_text_file(path: str | os.PathLike[str], text: str) -> None:
    """Write `text` to `path` as every output file of the package is written (`_atomic.write_file`):
    a regular file is replaced only once complete, a FIFO or a device is written into."""
    write_file(path, text)


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
