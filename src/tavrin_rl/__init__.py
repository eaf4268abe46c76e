"""tavrin_rl: a four-player polyomino placement game for reinforcement learning.

`PyTavrin` is the game and `PyObservation` one agent's view of it. `InternalError` is what the
engine raises for a fault of its own (a bug, never a bad input); it derives from BaseException, so
`except Exception` does not hide it. `env(...)` and `raw_env` are the
PettingZoo environment (`pip install '.[pettingzoo]'`); they load gymnasium and pettingzoo on
first use only, so importing this package needs neither.

Around the game: `tavrin_rl.catalogue` (pieces, the action grid, move notation),
`tavrin_rl.agents` (built-in agents), `tavrin_rl.text_board` (the board as text),
`tavrin_rl.board` (the board read from state bytes, as SVG) and `tavrin_rl.replay` (an HTML
replay page). `python -m tavrin_rl` plays games from the command line.
"""

from __future__ import annotations

import importlib
import importlib.metadata
from typing import Any

from tavrin_rl._engine import InternalError
from tavrin_rl._tavrin import PyObservation, PyTavrin

try:  # the one place the version is written is pyproject.toml
    __version__ = importlib.metadata.version("tavrin_rl")
except importlib.metadata.PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

# `env` and `raw_env` stay out of __all__ and dir() so that `import *` and tools that visit every
# listed name never need the extras. Type checkers see them through `__getattr__` too, without
# analysing numpy, gymnasium and pettingzoo for every program that imports this package.
__all__ = ["PyTavrin", "PyObservation", "InternalError"]

_LAZY = ("env", "raw_env")
_EXTRAS = ("numpy", "gymnasium", "pettingzoo")


# The one import that points up: `tavrin_rl.env()` is PettingZoo's convention for a package's
# environment, so the package's front door names it, while nothing below the environments may
# load it. It stays a module `__getattr__` (by a name, not an import statement) so that importing
# any module of the package never loads gymnasium and pettingzoo; the layering test is written
# against import statements, and this is the only name-loaded module above its importer (`nets`
# and `data` load their own submodules the same way, to defer numpy, torch and pyarrow).
def __getattr__(name: str) -> Any:
    if name not in _LAZY:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    try:
        module = importlib.import_module("tavrin_rl.pettingzoo_env")
    except ModuleNotFoundError as error:
        if (error.name or "").partition(".")[0] not in _EXTRAS:
            raise
        raise ModuleNotFoundError(
            f"tavrin_rl.{name} needs {', '.join(_EXTRAS)}: "
            "pip install 'tavrin_rl[pettingzoo]', or '.[pettingzoo]' in a clone",
            name=error.name) from error
    return getattr(module, name)

