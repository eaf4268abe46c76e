"""The limits the engine enforces, as the engine exports them: Python checks its arguments
against these before it reaches the engine (for clearer messages), never against its own copies."""

from __future__ import annotations

from tavrin_rl import _engine

#: The most playouts a search takes, and the `mcts` agent's budget when none is given.
MAX_PLAYOUTS: int = _engine.MAX_PLAYOUTS
DEFAULT_PLAYOUTS: int = _engine.DEFAULT_PLAYOUTS
#: The largest net a policy file may declare: its channels, 3x3 layers and value-head units. A few
#: hundred compressed bytes can declare gigabytes; these bounds keep a load under a few hundred MB.
MAX_CHANNELS: int = _engine.NET_MAX_CHANNELS
MAX_LAYERS: int = _engine.NET_MAX_LAYERS
MAX_HIDDEN: int = _engine.NET_MAX_HIDDEN
