"""The cheap figures of the docs still hold (`scripts/figures.py check --cheap`): the game behind
docs/replay.png and docs/board.svg ends with the recorded scores, and the arena's ladder keeps
the published order. A change that moves them fails here, before the docs go stale."""

import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "figures.py"


@pytest.mark.slow  # a seeded game and a 400-game arena
def test_cheap_figures_reproduce():
    done = subprocess.run([sys.executable, str(SCRIPT), "check", "--cheap"], capture_output=True,
                          text=True, timeout=900)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.count("\nok ") + done.stdout.startswith("ok ") == 2


def test_costly_figures_are_refused_with_their_commands():
    done = subprocess.run([sys.executable, str(SCRIPT), "check", "baseline-training"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "too costly to rerun here" in done.stderr
    shown = subprocess.run([sys.executable, str(SCRIPT), "show", "baseline-training"],
                           capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0 and "--resume" in shown.stdout
