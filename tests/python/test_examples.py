"""The examples and the code of the README and the documentation pages run to the end, and
the examples type-check against the shipped stubs."""

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


# The README and every page of the documentation site: each Python block runs as shown.
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]

# What a block needs beyond numpy, by what it imports, and the extra that installs it.
NEEDED = [
    (r"tavrin_rl\.env\(|import gymnasium|tavrin_rl\.gym", "gymnasium", "pettingzoo"),
    (r"tavrin_rl\.env\(|import pettingzoo", "pettingzoo", "pettingzoo"),
    (r"from tavrin_rl import data|tavrin_rl\.data", "pyarrow", "data"),
    (r"ray\.rllib|tavrin_rl\.rllib", "ray.rllib", "rllib"),
    (r"ray\.rllib|tavrin_rl\.rllib|import torch|from torch", "torch", "rllib"),
    (r"torchrl", "torchrl", "integration"),
    (r"tianshou", "tianshou", "integration"),
    (r"sb3_contrib", "sb3_contrib", "integration"),
    (r"stable_baselines3|tavrin_rl\.sb3", "stable_baselines3", "integration"),
]


def code_blocks():
    # A block on torch, RLlib or an RL library trains or builds a model: tens of seconds.
    def marks(block):
        heavy = any(re.search(pattern, block) for pattern, _, extra in NEEDED
                    if extra in ("rllib", "integration"))
        return [pytest.mark.slow] if heavy else []
    return [pytest.param(block, id=f"{page.name}:{number}", marks=marks(block))
            for page in PAGES
            for number, block in enumerate(
                re.findall(r"```python\n(.*?)```", page.read_text(encoding="utf-8"), re.S))]


@pytest.mark.parametrize("block", code_blocks())
def test_docs_code_runs(block, tmp_path):
    pytest.importorskip("numpy")
    missing = [(name, extra) for pattern, name, extra in NEEDED
               if re.search(pattern, block) and not installed(name)]
    if missing:  # the last extra listed installs them all (integration brings torch too)
        names = " and ".join(dict.fromkeys(name for name, _ in missing))
        pytest.skip(f"needs {names} (the `{missing[-1][1]}` extra)")
    done = run_python(["-c", block], tmp_path, timeout=300)
    assert done.returncode == 0, done.stderr


# Examples built on a heavy extra are type-checked only where it is installed (CI has no torch).
NEEDS = {"torch_dataset.py": ("torch",), "rllib_ppo.py": ("torch", "ray.rllib")}


def installed(name):
    try:
        return importlib.util.find_spec(name) is not None
    except ModuleNotFoundError:  # a parent package is missing
        return False


@pytest.mark.slow  # mypy --strict over every example: over a minute
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
