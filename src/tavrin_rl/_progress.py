"""The one progress bar of the command line, the dataset writer, the arena and training.

On a terminal it is one line redrawn in place, cut to the terminal's width so that it never
wraps (a wrapped line cannot be gone back over with a carriage return, and every redraw would
leave a line behind). Anywhere else (a pipe, a log file) it writes plain lines, one every
`LOG_EVERY` seconds and one at the end, so that a log shows the run's pace without filling up.
Time left reads "2m 05s left", never "2:05", which looks like a clock time.
"""

from __future__ import annotations

import os
import shutil
import time
from typing import TextIO

from tavrin_rl._command import is_terminal


def duration(seconds: float) -> str:
    """A span of time as people write it: "45s", "2m 05s", "1h 02m"."""
    seconds = max(0, int(seconds + 0.5))
    hours, rest = divmod(seconds, 3600)
    minutes, secs = divmod(rest, 60)
    if hours:
        return f"{hours}h {minutes:02d}m"
    if minutes:
        return f"{minutes}m {secs:02d}s"
    return f"{secs}s"


def terminal_columns(stream: TextIO) -> int:
    """The width of the terminal `stream` writes to (80 when it cannot be told)."""
    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (AttributeError, OSError, ValueError):
        return shutil.get_terminal_size((80, 24)).columns


class Progress:
    """A progress line on a stream: done of total, the rate, the time left and a note of the
    caller's (plies/s, live win rates). On a terminal it is redrawn in place at most ten times a
    second and never wider than the terminal; elsewhere it is a plain line every `LOG_EVERY`
    seconds. A failing stream switches it off: the work and its summary matter more than the bar.
    `stream` None draws nothing."""

    BAR = 24          # the widest bar; it narrows, then goes, on a narrow terminal
    MIN_BAR = 10
    LOG_EVERY = 20.0  # seconds between two plain lines: three a minute, the first at once

    def __init__(self, total: int, stream: TextIO | None, unit: str = "games",
                 live: bool | None = None, quiet_start: bool = False) -> None:
        self.total = max(1, total)
        self.stream: TextIO | None = stream
        self.unit = unit
        self.live = (stream is not None and is_terminal(stream)) if live is None else live
        self.started = time.monotonic()
        self.last_draw = float("-inf")  # the first update draws: a log shows the run began
        # quiet_start: a log hears of the run only once it has gone on for LOG_EVERY seconds,
        # so that a command whose progress is on by default adds no lines to a short run's log.
        self.quiet = quiet_start and not self.live
        if self.quiet:
            self.last_draw = self.started
        self.drawn = 0    # characters of the line on screen, to be covered by the next
        self.open_line = False  # a bar is drawn and its line not yet ended
        self.finished = False

    def _write(self, text: str) -> None:
        if self.stream is None:
            return
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):
            self.stream = None

    def line(self, done: int, note: str = "", width: int | None = None) -> str:
        """The text shown for `done` finished: fitted to `width` columns when given."""
        elapsed = time.monotonic() - self.started
        rate = done / elapsed if elapsed > 0 else 0.0
        if done >= self.total:
            left = f"done in {duration(elapsed)}"
        elif rate > 0 and done > 0:
            left = f"{duration((self.total - done) / rate)} left"
        else:
            left = "time left unknown"
        core = ", ".join([f"{done:,}/{self.total:,} {self.unit}", left, f"{rate:,.1f}/s"])
        text = f"{core}, {note}" if note else core
        if width is None:
            return text
        # The bar narrows to leave the note room, and goes only when the counts need its place;
        # what still does not fit is cut at the end, where the caller's note is.
        if width - len(core) - 3 >= self.MIN_BAR:  # "[", "] "
            bar = max(self.MIN_BAR, min(self.BAR, width - len(text) - 3))
            filled = bar * min(done, self.total) // self.total
            text = f"[{'#' * filled}{'.' * (bar - filled)}] {text}"
        return text[:width]

    def update(self, done: int, note: str = "", force: bool = False) -> None:
        """Show `done` of the total finished; the last one ends the line."""
        if self.finished:
            return
        now = time.monotonic()
        last = done >= self.total
        if self.live:
            if not force and not last and now - self.last_draw < 0.1:
                return
            self.last_draw = now
            self.open_line = True  # before writing: Ctrl-C may strike in the middle of it
            # One column short of the width: some terminals wrap on writing the last column.
            width = terminal_columns(self.stream) - 1 if self.stream is not None else 79
            text = self.line(done, note, max(1, width))
            pad = " " * max(0, self.drawn - len(text))
            self.drawn = len(text)
            self._write(f"\r{text}{pad}")
        else:
            if not last and now - self.last_draw < self.LOG_EVERY:
                return
            self.last_draw = now
            if not (last and self.quiet):  # a quiet bar that never spoke stays quiet at the end
                self._write(self.line(done, note) + "\n")
                self.quiet = False
        if last:
            self.end()
            self.finished = True

    def end(self) -> None:
        """End the bar's line, so that whatever follows starts on a line of its own."""
        if self.open_line:
            self._write("\n")
            self.open_line = False
            self.drawn = 0

    close = end
