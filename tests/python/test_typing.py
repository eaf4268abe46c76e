"""The shipped type stubs: they match the compiled module, and the examples check against them."""

import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run_python(args, cwd):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=cwd,
                          timeout=300)


def test_examples_type_check(tmp_path):
    done = run_python(["-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                       str(EXAMPLES)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_match_the_compiled_module(tmp_path):
    done = run_python(["-m", "mypy.stubtest", "tavrin_rl._tavrin"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
