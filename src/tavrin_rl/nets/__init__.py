"""The nets' room: the policy net as a file, in numpy, in the engine and in torch.

    from tavrin_rl.nets import Policy, load_policy, save_policy
    policy = load_policy("runs/x/policy.npz")

- `format`: what a policy file holds (an `.npz` of float16 arrays named as `PolicyNet`'s state
  dict, and a `format` entry), its limits, its one reader (`read_policy_file`) and its writer
  (`save_policy`, `policy_arrays`);
- `policy`: `Policy`, a net read from a file or made from weights, and `load_policy`, the loader
  every agent, seat, environment, command and dataset run goes through (one net per file, read
  again when the file changes);
- `forward`: the forward pass in numpy, the oracle the engine's is tested against, and what
  `Policy.reference_logits` and `Policy.reference_value` run;
- `inputs`: a position's arrays as the net reads them, and picks from its logits;
- `engine`: the bridge to the engine's net (`tavrin_rl._engine.Net`), which plays every net seat;
- `torch_net`: `PolicyNet`, the one torch net, which the trainer, sb3-contrib's `GridPolicy` and
  RLlib's `MaskedGridModule` learn with; its `weights()` are what `save_policy` writes.

Importing this package loads neither numpy nor torch: the names above load their module on
first use.
"""

from __future__ import annotations

import importlib
from typing import Any

# name -> the module that holds it, loaded on first use
_LAZY = {
    "FORMAT": "format", "expected_shapes": "format", "read_policy_file": "format",
    "policy_arrays": "format", "save_policy": "format",
    "Policy": "policy", "load_policy": "policy", "provide_policy": "policy", "provide_policies": "policy",
    "PolicyNet": "torch_net", "segment_log_softmax": "torch_net",
}

__all__ = ["FORMAT", "Policy", "PolicyNet", "baseline_path", "expected_shapes", "load_policy",
           "policy_arrays", "provide_policies", "provide_policy", "read_policy_file", "save_policy",
           "segment_log_softmax"]


def baseline_path() -> str:
    """The path of the policy file shipped with the package (the "baseline" agent's net)."""
    from importlib import resources
    return str(resources.files("tavrin_rl") / "baseline" / "baseline.npz")


def __getattr__(name: str) -> Any:
    if name not in _LAZY:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f"{__name__}.{_LAZY[name]}"), name)
