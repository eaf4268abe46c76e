"""The progress line: time left in words, never wider than the terminal, plain lines in a log."""

import io
import re

import pytest

from tavrin_rl import _progress
from tavrin_rl._progress import Progress, duration

LONG_NOTE = ("update 120, 1,050 steps/CPU-s, win share in training 61.3%; eval random 97.8%, "
             "greedy 61.1%, reach 17.2%")


@pytest.mark.parametrize("seconds, text", [
    (0, "0s"), (44.6, "45s"), (125, "2m 05s"), (3599.6, "1h 00m"), (3720, "1h 02m")])
def test_duration_reads_as_a_span_not_a_clock(seconds, text):
    assert duration(seconds) == text


@pytest.mark.parametrize("columns", [80, 40, 20])
def test_terminal_line_fits_and_is_redrawn_in_place(monkeypatch, columns):
    monkeypatch.setattr(_progress, "terminal_columns", lambda stream: columns)
    clock = iter(range(0, 10_000, 7))
    monkeypatch.setattr(_progress.time, "monotonic", lambda: float(next(clock)))
    out = io.StringIO()
    bar = Progress(500, out, unit="training CPU s", live=True)
    for done in (0, 3, 100, 250, 499, 500):
        bar.update(done, LONG_NOTE)
    text = out.getvalue()
    assert text.endswith("\n") and text.count("\n") == 1  # one line, ended once
    drawn = text.rstrip("\n").split("\r")[1:]
    assert len(drawn) == 6 and all(len(line) < columns for line in drawn)
    if columns == 80:
        assert drawn[2].startswith("[") and " left" in drawn[2]
        assert re.search(r"\d+[hm] \d\d[ms] left", drawn[1])
    assert "done in" in drawn[-1] or columns < 40
    assert not re.search(r"\b\d+:\d\d\b", text)  # no clock times


def test_a_log_gets_a_few_plain_lines(monkeypatch):
    now = [0.0]
    monkeypatch.setattr(_progress.time, "monotonic", lambda: now[0])
    out = io.StringIO()
    bar = Progress(1000, out)  # not a terminal
    for done in range(1, 1001):
        now[0] = done * 0.3  # five minutes in all
        bar.update(done, "1,234 plies/s")
    bar.end()
    lines = out.getvalue().split("\n")
    assert "\r" not in out.getvalue() and lines[-1] == ""
    assert 14 <= len(lines) - 1 <= 17  # the first at once, then one per 20 s, then the end
    assert lines[0].startswith("1/1,000 games, ") and lines[-2].startswith("1,000/1,000 games, done in 5m 00s")


def test_a_failing_stream_switches_the_bar_off():
    out = io.StringIO()
    bar = Progress(3, out, live=True)
    out.close()
    bar.update(1)
    bar.update(3)
    assert bar.stream is None
