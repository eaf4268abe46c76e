"""The test command's own bookkeeping (scripts/test.sh): a failing command fails its step and
stops it there, a step that needs a failed one is skipped with the reason, the closing table lists
every step, and the run fails when a step did. Exercised on made-up steps: the real ones take
the whole CI run."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "test.sh"


@pytest.mark.skipif(shutil.which("bash") is None, reason="bash is not installed")
def test_the_closing_table_and_exit_status():
    done = subprocess.run(["bash", str(SCRIPT)], env={"TAVRIN_TEST_SUMMARY_ONLY": "1",
                                                      "PATH": "/usr/bin:/bin"},
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "not reached" not in done.stdout  # -e held inside the step
    table = done.stdout[done.stdout.index("== Summary"):].splitlines()
    rows = [re.split(r"\s{2,}", line.strip()) for line in table[2:5]]
    assert rows == [["a step that passes", "passed", "0:00"],
                    ["a step that fails", "failed", "0:00", "exit status 1"],
                    ["needs it", "skipped", "0:00", "a step that fails failed"]]
    assert table[5].endswith("1 of 3 steps failed")
