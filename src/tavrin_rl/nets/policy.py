"""A trained policy net, `Policy`, and `load_policy`, the loader every agent, seat, environment,
command and dataset run reads policy files through. No torch is needed to play or evaluate one.

    from tavrin_rl.nets import load_policy
    from tavrin_rl.agents.evaluate import evaluate
    result = evaluate(load_policy("runs/x/policy.npz"), ["greedy"] * 3, games=1000)

The net runs in the engine (`Policy.engine`); its forward pass in numpy (`Policy.reference_logits`,
`Policy.reference_value`) is the reference the engine's is tested against. The policy head is
evaluated only at the legal grid indexes, a few hundred of the 36400.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np

from tavrin_rl.nets.engine import engine_inputs, engine_net
from tavrin_rl.nets.format import read_policy_file, shape_problem, sizes_of, value_problem
from tavrin_rl.nets.forward import NumpyForward
from tavrin_rl.nets.inputs import segment_argmax, segment_sample


class Policy:
    """A policy net read from a policy file: evaluated in the engine, with its forward pass in
    numpy (float32) beside it as the reference."""

    def __init__(self, weights: dict[str, np.ndarray], meta: dict[str, Any]) -> None:
        """A policy of float `weights` named as `PolicyNet`'s state dict (checked as a policy
        file is: ValueError when they do not make a net) and JSON `meta`."""
        shapes = {name: np.shape(value) for name, value in weights.items()}
        problem = shape_problem(shapes) or value_problem(weights)
        if problem:
            raise ValueError(f"these weights do not make a policy net: {problem}")
        #: the checked weights, float32, by name (what the engine's net reads)
        self.weights = {name: np.asarray(value, dtype=np.float32)
                        for name, value in weights.items()}
        self.meta = meta
        self.channels, self.layers, self.hidden = sizes_of(shapes)
        self._engine: Any = None
        self._forward: NumpyForward | None = None

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> "Policy":
        """A policy from a file written by `save_policy` (or `python -m tavrin_rl train`).

        Raises OSError when the file cannot be opened (missing, unreadable, a folder), and
        ValueError "PATH is not a tavrin_rl policy file (why)" for anything else: not an `.npz`,
        a damaged one (an array header cut short included), no or a foreign `format`, missing or
        unknown arrays, wrong shapes or types, sizes beyond the limits, non-finite weights.
        Nothing from the file executes, and no array is allocated before every array's header
        has been checked."""
        weights, meta = read_policy_file(path)
        return cls(weights, meta)

    def __getstate__(self) -> dict[str, Any]:
        # the engine's net and numpy's layout are made again on first use where the policy lands
        return {**self.__dict__, "_engine": None, "_forward": None}

    @property
    def engine(self) -> Any:
        """The same net in the engine (`tavrin_rl._engine.Net`), made on first use from the
        checked weights: what `logits`, `value`, the agents and `VectorGames` net seats run."""
        if self._engine is None:
            self._engine = engine_net(self.weights, self.channels, self.layers, self.hidden)
        return self._engine

    @property
    def forward(self) -> NumpyForward:
        """The same net's forward pass in numpy, laid out on first use."""
        if self._forward is None:
            self._forward = NumpyForward(self.weights)
        return self._forward

    def logits(self, board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
               legal: np.ndarray) -> np.ndarray:
        """The logits of the legal grid indexes `legal` (E,) of positions `segment` (E,),
        ascending, given board planes (B, 12, 20, 20) and extras (B, 88): the engine's forward
        pass."""
        out = self.engine.evaluate(*engine_inputs(board, extras, segment, legal), False)
        return np.frombuffer(out, np.float32)

    def value(self, board: np.ndarray, extras: np.ndarray) -> np.ndarray:
        """(B,) the predicted outcome (1/2 win share + 1/2 rank) for the mover: the engine's
        forward pass."""
        none = np.zeros(0, np.int64)
        _, values = self.engine.evaluate(*engine_inputs(board, extras, none, none), True)
        return np.frombuffer(values, np.float32)

    def reference_logits(self, board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
                         legal: np.ndarray) -> np.ndarray:
        """`logits` computed in numpy: the oracle the engine's forward pass is tested against."""
        return self.forward.logits(board, extras, segment, legal)

    def reference_value(self, board: np.ndarray, extras: np.ndarray) -> np.ndarray:
        """`value` computed in numpy."""
        return self.forward.value(board, extras)

    def choose(self, board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
               legal: np.ndarray, uniform: np.ndarray | None = None) -> np.ndarray:
        """(B,) one grid index per position: the most likely legal one, or one drawn from the
        policy with `uniform` (B,) draws in [0, 1)."""
        logits = self.logits(board, extras, segment, legal)
        count = board.shape[0]
        picks = (segment_argmax(logits, segment, count) if uniform is None
                 else segment_sample(logits, segment, count, uniform))
        chosen: np.ndarray = legal[picks]
        return chosen


# Nets are keyed by what identifies the file's contents as well as its path, (size, modification
# time in ns), so that a file rewritten since is read again: a training run replaces its
# policy.npz while agents, arenas and dataset runs of the same process hold the old one.
_Identity = tuple[int, int]
# Policies by file, so that agents and seats of one file share one net in the engine.
_LOADED: dict[tuple[str, _Identity], Policy] = {}
# Policies given for a path by whoever started this process (a dataset task carries its nets'
# arrays: the driver's path may not exist where the task runs), with the identity the file had
# here when given (None: absent).
_GIVEN: dict[str, tuple[_Identity | None, Policy]] = {}
_KEPT = 16  # a long run's snapshots come and go: keep the latest


def _identity(name: str) -> _Identity | None:
    try:
        info = os.stat(name)
    except OSError:
        return None  # Policy.load says what is wrong with the path
    return info.st_size, info.st_mtime_ns


def _keep(cache: dict[Any, Any], key: Any, value: Any) -> None:
    cache.pop(key, None)
    if len(cache) >= _KEPT:
        cache.pop(next(iter(cache)))
    cache[key] = value


def provide_policy(path: str | os.PathLike[str], policy: Policy) -> None:
    """Makes `load_policy(path)` return `policy` in this process for as long as the file at
    `path` stays as it is now (or stays absent); once it is rewritten, the file is read."""
    name = os.path.realpath(os.fspath(path))
    _keep(_GIVEN, name, (_identity(name), policy))


# Policies given for a path while a dataset task plays, in this thread alone and only for the
# task's time: a task played in the caller's own process must not pin its nets there.
_TASK = threading.local()


@contextlib.contextmanager
def provide_policies(policies: Mapping[str, Policy]) -> Iterator[None]:
    """While the block runs, `load_policy(path)` returns `policies[path]` in this thread, whatever
    is at `path`: the task plays the nets its manifest entry names."""
    previous: dict[str, Policy] = getattr(_TASK, "policies", {})
    _TASK.policies = {**previous, **{os.path.realpath(os.fspath(path)): policy
                                     for path, policy in policies.items()}}
    try:
        yield
    finally:
        _TASK.policies = previous


def load_policy(path: str | os.PathLike[str]) -> Policy:
    """`Policy.load(path)`, read once per file and shared, and read again once the file
    changes."""
    name = os.path.realpath(os.fspath(path))
    identity = _identity(name)
    task = getattr(_TASK, "policies", {}).get(name)
    if task is not None:
        return task  # type: ignore[no-any-return]
    given = _GIVEN.get(name)
    if given is not None:
        if given[0] == identity:
            return given[1]
        _GIVEN.pop(name, None)  # the file changed since: its new contents play
    if identity is not None and (name, identity) in _LOADED:
        return _LOADED[name, identity]
    policy = Policy.load(path)
    if identity is not None:
        _keep(_LOADED, (name, identity), policy)
    return policy
