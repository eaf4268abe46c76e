"""The Python side of the bridge to the engine's net (`tavrin_rl._engine.Net`): the order it takes
a net's arrays in, and the arrays of a forward pass as it reads them. The engine's net plays every
net seat, agent and evaluation; it is made from weights the loader has checked."""

from __future__ import annotations

from typing import Any

import numpy as np


def engine_array_names(layers: int) -> list[str]:
    """The arrays of a net of `layers` layers in the order `tavrin_rl._engine.Net` takes them."""
    names = ["extras.weight", "extras.bias", "stem.weight", "stem.bias"]
    for layer in range(layers - 1):
        names += [f"convs.{layer}.weight", f"convs.{layer}.bias"]
    return names + ["policy.weight", "policy.bias", "value_conv.weight", "value_conv.bias",
                    "value_fc.weight", "value_fc.bias", "value_out.weight", "value_out.bias"]


def engine_net(weights: dict[str, np.ndarray], channels: int, layers: int, hidden: int) -> Any:
    """The engine's net of checked float32 `weights` of these sizes."""
    from tavrin_rl import _engine
    arrays = [np.ascontiguousarray(weights[name], np.float32)
              for name in engine_array_names(layers)]
    return _engine.Net(channels, layers, hidden, arrays)


def engine_inputs(board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
                  legal: np.ndarray) -> tuple[np.ndarray, ...]:
    """Board planes (B, 12, 20, 20), extras (B, 88) and legal entries (`segment`, `legal`) as
    `Net.evaluate` reads them."""
    return (np.ascontiguousarray(board, np.uint8), np.ascontiguousarray(extras, np.float32),
            np.ascontiguousarray(segment, np.int64), np.ascontiguousarray(legal, np.int64))
