"""What an optional module says when a package of its extra is missing.

The game needs numpy alone; the environments, datasets, ratings and training each need the
packages of one extra (`pyproject.toml`). A bare "No module named 'stable_baselines3'" leaves the
reader to guess which extra brings it, and for torch the obvious `pip install '.[train]'` fetches
the multi-GB CUDA build on Linux: the message names the CPU build's command instead.
"""

from __future__ import annotations

TORCH_VERSION = "2.13.0"  # the version the torch extras pin
TORCH_CPU = (f"pip install torch=={TORCH_VERSION} "
             "--index-url https://download.pytorch.org/whl/cpu")
_TORCH_EXTRAS = ("train", "rllib", "integration")


def install_hint(extra: str) -> str:
    """The commands that install `extra`'s packages, the CPU build of torch first where the
    extra brings torch."""
    line = (f"pip install 'tavrin_rl[{extra}]' (in a clone: "
            f"pip install --no-build-isolation '.[{extra}]')")
    if extra in _TORCH_EXTRAS:
        return f"{TORCH_CPU} (torch's CPU build; pip's default is the CUDA one, several GB), then {line}"
    return line


def needs_extra(what: str, extra: str, error: ModuleNotFoundError) -> ModuleNotFoundError:
    """The error to raise from `error` (a missing package) in `what`, which needs `extra`. It
    keeps the missing module's name, which callers and tests read."""
    missing = (error.name or "a package").partition(".")[0]
    return ModuleNotFoundError(f"{what} needs {missing} (the '{extra}' extra): "
                               f"{install_hint(extra)}", name=error.name)
