"""An optional module without its extra's packages says which extra to install, and for torch
the command of its CPU build (pip's default torch on Linux is the multi-GB CUDA one)."""

import importlib.util
import subprocess
import sys

import pytest

# Each package is hidden (None in sys.modules makes its import fail as a missing one would), then
# the module is imported in a fresh interpreter.
CASES = [
    ("tavrin_rl.gym", "gymnasium", "pettingzoo"),
    ("tavrin_rl.pettingzoo_env", "pettingzoo", "pettingzoo"),
    ("tavrin_rl.sb3", "stable_baselines3", "integration"),
    ("tavrin_rl.sb3_policy", "sb3_contrib", "integration"),
    ("tavrin_rl.torchrl", "torch", "integration"),
    ("tavrin_rl.rllib", "ray", "rllib"),
    ("tavrin_rl.rllib_module", "torch", "rllib"),
    ("tavrin_rl.train.ppo", "torch", "train"),
    ("tavrin_rl.nets.torch_net", "torch", "train"),
    ("tavrin_rl.data", "pyarrow", "data"),
]
TORCH_CPU = "pip install torch==2.13.0 --index-url https://download.pytorch.org/whl/cpu"


def hidden(package: str, code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", f"import sys; sys.modules[{package!r}] = None\n"
                           + code], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("module, package, extra", CASES)
def test_a_missing_package_names_its_extra(module, package, extra):
    code = f"try:\n    import {module}\nexcept ModuleNotFoundError as e:\n    print(e.name); print(e)\n"
    if module == "tavrin_rl.data":  # the package imports; reading or writing a dataset needs pyarrow
        code = ("from tavrin_rl.data._store import pyarrow\ntry:\n    pyarrow()\n"
                "except ModuleNotFoundError as e:\n    print(e.name); print(e)\n")
    done = hidden(package, code)
    assert done.returncode == 0, done.stderr
    name, message = done.stdout.strip().split("\n")
    # Callers that skip on a missing package read its name: the hidden one, or one the module
    # imports before it that is missing here too (sb3_policy needs torch before sb3_contrib).
    top = name.partition(".")[0]
    assert top == package or importlib.util.find_spec(top) is None, name
    assert f"tavrin_rl[{extra}]" in message
    assert (TORCH_CPU in message) == (extra in ("train", "rllib", "integration"))


def test_training_without_torch_names_the_cpu_build(tmp_path):
    done = hidden("torch", "from tavrin_rl.__main__ import main\n"
                           f"sys.exit(main(['train', '--out', {str(tmp_path / 'run')!r}]))")
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and TORCH_CPU in done.stderr
    assert not (tmp_path / "run").exists()
