"""The examples and the README's code run to the end, and type-check against the shipped stubs."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
README = ROOT / "README.md"


def run_python(args, cwd, timeout=120):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=cwd,
                          timeout=timeout)


def test_random_self_play(tmp_path):
    done = run_python([str(EXAMPLES / "random_self_play.py"), "3", "1"], tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert [line.split(":")[0] for line in lines[:3]] == ["game 0", "game 1", "game 2"]
    assert re.match(r"game 0: \d+ placements, scores \[(-?\d+, ){3}-?\d+\], rank outcome", lines[0])
    assert lines[3].startswith("  |  0 |  1 |")  # the last game's board


def test_masked_policy(tmp_path):
    pytest.importorskip("numpy")
    done = run_python([str(EXAMPLES / "masked_policy.py"), "10", "1"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert re.fullmatch(r"game 10: mean rank outcome [0-9.]+, weights size [-+][0-9.]+ "
                        r"reach [-+][0-9.]+\n", done.stdout)


def readme_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


@pytest.mark.parametrize("number", range(len(readme_blocks())))
def test_readme_code_runs(number, tmp_path):
    pytest.importorskip("numpy")
    block = readme_blocks()[number]
    if "tavrin_rl.env(" in block:
        pytest.importorskip("pettingzoo")
    if re.search(r"from tavrin_rl import data|tavrin_rl\.data", block):
        pytest.importorskip("pyarrow")  # the `data` extra
    missing = [name for name in ("ray.rllib", "torch") if "ray.rllib" in block
               and not installed(name)]
    if missing:
        pytest.skip(f"needs {' and '.join(missing)} (the `rllib` extra)")
    done = run_python(["-c", block], tmp_path)
    assert done.returncode == 0, done.stderr


# Examples built on a heavy extra are type-checked only where it is installed (CI has no torch).
NEEDS = {"torch_dataset.py": ("torch",), "rllib_ppo.py": ("torch", "ray.rllib")}


def installed(name):
    try:
        return importlib.util.find_spec(name) is not None
    except ModuleNotFoundError:  # a parent package is missing
        return False


def test_examples_type_check(tmp_path):
    examples = [str(path) for path in sorted(EXAMPLES.glob("*.py"))
                if all(installed(name) for name in NEEDS.get(path.name, ()))]
    done = run_python(["-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                       *examples], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("module", ["tavrin_rl._tavrin", "tavrin_rl._engine"])
def test_stubs_match_the_compiled_module(module, tmp_path):
    done = run_python(["-m", "mypy.stubtest", module], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
