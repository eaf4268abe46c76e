"""The one progress bar of the command line, the dataset writer, the arena and training."""

from __future__ import annotations

import time
from typing import TextIO


def clock(seconds: float) -> str:
    """H:MM:SS, or M:SS under an hour."""
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


class Progress:
    """A one-line bar on a terminal stream: done of total, the rate, the time left and a note of
    the caller's (plies/s, live win rates), redrawn at most ten times a second. A failing stream
    switches it off: the work and its summary matter more than the bar."""

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO, unit: str = "games") -> None:
        self.total = max(1, total)
        self.stream: TextIO | None = stream
        self.unit = unit
        self.started = time.monotonic()
        self.last_draw = 0.0
        self.open_line = False  # a bar is drawn and its line not yet ended

    def _write(self, text: str) -> None:
        if self.stream is None:
            return
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):
            self.stream = None

    def update(self, done: int, note: str = "", force: bool = False) -> None:
        """Show `done` of the total finished; the last one ends the line."""
        now = time.monotonic()
        if not force and done < self.total and now - self.last_draw < 0.1:
            return
        self.last_draw = now
        elapsed = now - self.started
        rate = done / elapsed if elapsed > 0 else 0.0
        left = ("done" if done >= self.total else
                f"ETA {clock((self.total - done) / rate)}" if rate > 0 else "ETA ?")
        filled = self.WIDTH * min(done, self.total) // self.total
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.open_line = True  # before writing: Ctrl-C may strike in the middle of the write
        extra = f", {note}" if note else ""
        self._write(f"\r[{bar}] {done}/{self.total} {self.unit}, {rate:,.1f} {self.unit}/s, "
                    f"{left}{extra}  ")
        if done >= self.total:
            self.end()

    def end(self) -> None:
        """End the bar's line, so that whatever follows starts on a line of its own."""
        if self.open_line:
            self._write("\n")
            self.open_line = False

    close = end
