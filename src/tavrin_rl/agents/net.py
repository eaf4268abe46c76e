"""A trained policy net in numpy alone: no torch is needed to play or evaluate one.

    from tavrin_rl.policy_net import Policy, evaluate
    result = evaluate(Policy.load("runs/x/policy.npz"), ["greedy"] * 3, games=1000)

A policy file is an `.npz` of float16 arrays named as in `tavrin_rl.train.net.PolicyNet`'s
state dict, plus a `format` entry. (`tavrin_rl.agents.policy` plays a policy
file as an agent; `tavrin_rl.agents.evaluate` rates one.) The net reads the 12 compact board planes of the mover's frame
with a row and a column plane, and the pieces (4 x 21) and out-of-moves flags (4) through a dense
layer that adds a bias to the first convolution and one per orientation to the policy logits. Its
policy head is a 1x1 convolution with one output channel per orientation over the 20 x 20 board,
which is the action grid itself (channel o at cell (r, c) is grid index o * 400 + r * 20 + c); it
is evaluated only at the legal grid indexes, a few hundred of the 36400.
"""

from __future__ import annotations

import contextlib
import json
import os
import stat
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents.base import baseline_path as baseline_path
from tavrin_rl.catalogue import BOARD_SIDE as BOARD_SIDE
from tavrin_rl.catalogue import NUM_ORIENTATIONS as NUM_ORIENTATIONS
from tavrin_rl.catalogue import BOARD_CHANNELS, FLAT_SIZE, NUM_KINDS, NUM_SEATS, ORIENTATION_KIND

FORMAT = "tavrin_rl.policy/1"
BOARD_PLANES = BOARD_CHANNELS
CELLS = BOARD_SIDE * BOARD_SIDE
NUM_EXTRAS = FLAT_SIZE - BOARD_PLANES * CELLS  # pieces by seat and kind, then the out-of-moves flags
# Games evaluated together: large enough for the engine's batch to pay, small enough for the
# activations (B x 400 x 144 floats in a convolution) to stay in cache.
_CHUNK = 8

_COORDS = np.stack(np.meshgrid(np.arange(BOARD_SIDE), np.arange(BOARD_SIDE), indexing="ij"),
                   axis=-1).astype(np.float32) / (BOARD_SIDE - 1)  # (20, 20, 2): row, column


def extras_of(pieces: np.ndarray, done: np.ndarray) -> np.ndarray:
    """(B, 88) float32: the pieces (B, 4, 21) and out-of-moves flags (B, 4) side by side."""
    b = pieces.shape[0]
    return np.concatenate([pieces.reshape(b, -1), done.reshape(b, -1)], axis=1).astype(np.float32)


def legal_entries(offsets: np.ndarray, actions: np.ndarray,
                  games: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The legal grid indexes of `games` (indexes into CSR `offsets`/`actions`, as
    `VectorGames.legal_grid_indexes_csr` returns them) and, for each, its row in `games`."""
    starts, stops = offsets[games], offsets[games + 1]
    counts = (stops - starts).astype(np.intp)
    segment = np.repeat(np.arange(len(games)), counts)
    if len(games) and counts.sum() == stops[-1] - starts[0]:  # contiguous: one slice
        legal = actions[starts[0]:stops[-1]]
    else:
        legal = np.concatenate([actions[a:b] for a, b in zip(starts, stops)]) if len(games) \
            else actions[:0]
    return segment, legal.astype(np.intp)


def _segment_starts(segment: np.ndarray, count: int) -> np.ndarray:
    return np.searchsorted(segment, np.arange(count))


def segment_argmax(values: np.ndarray, segment: np.ndarray, count: int) -> np.ndarray:
    """(count,) the position in `values` of each segment's largest value (segments in order,
    none empty)."""
    best = np.maximum.reduceat(values, _segment_starts(segment, count))
    hits = np.flatnonzero(values >= best[segment])
    _, first = np.unique(segment[hits], return_index=True)
    return hits[first]


def segment_sample(logits: np.ndarray, segment: np.ndarray, count: int,
                   uniform: np.ndarray) -> np.ndarray:
    """(count,) positions in `logits` drawn from each segment's softmax by inverse transform of
    `uniform` (count,) in [0, 1) (segments in order, none empty)."""
    starts = _segment_starts(segment, count)
    best = np.maximum.reduceat(logits, starts)
    weights = np.exp((logits - best[segment]).astype(np.float64))
    cumulative = np.cumsum(weights)
    stops = np.append(starts[1:], len(logits))
    before = np.where(starts > 0, cumulative[np.maximum(starts - 1, 0)], 0.0)
    targets = before + uniform * (cumulative[stops - 1] - before)
    picks = np.searchsorted(cumulative, targets, side="right")
    return np.minimum(picks, stops - 1)  # rounding at a segment's top stays inside it


def _scratch(chunk: int, c_in: int, c_out: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Buffers of `_conv3x3` for up to `chunk` positions: reused, since fresh arrays this large
    come from the system each time and their pages fault in on every call."""
    rows = BOARD_SIDE + 2
    return (np.zeros((chunk, rows, rows, c_in), np.float32),
            np.empty((chunk, rows, BOARD_SIDE, 3 * c_in), np.float32),
            np.empty((chunk * rows * BOARD_SIDE, 3 * c_out), np.float32))


def _conv3x3(x: np.ndarray, weight: np.ndarray, scratch: tuple[np.ndarray, ...],
             out: np.ndarray | None = None) -> np.ndarray:
    """A 3x3 convolution with zero padding of channels-last x (B, 20, 20, C). The three column
    shifts are laid side by side (B, 22, 20, 3C) and one product gives every row shift's output
    at once; the row shifts are then three slices added: a third of the copying of laying out
    all nine shifts. `weight` is (3C, 3 * C_out) from `_shift_weight`; `scratch` from
    `_scratch`. With `out`, the result is added to it (a residual connection without a
    temporary)."""
    pad, cols, product = scratch
    b, c = x.shape[0], x.shape[3]
    pad[:b, 1:-1, 1:-1] = x
    for dx in range(3):
        cols[:b, :, :, dx * c:(dx + 1) * c] = pad[:b, :, dx:dx + BOARD_SIDE]
    rows = b * (BOARD_SIDE + 2) * BOARD_SIDE
    y = np.matmul(cols[:b].reshape(rows, 3 * c), weight, out=product[:rows])
    y = y.reshape(b, BOARD_SIDE + 2, BOARD_SIDE, 3, -1)
    if out is None:
        out = y[:, 0:BOARD_SIDE, :, 0].copy()
    else:
        out += y[:, 0:BOARD_SIDE, :, 0]
    out += y[:, 1:BOARD_SIDE + 1, :, 1]
    out += y[:, 2:BOARD_SIDE + 2, :, 2]
    return out


def _shift_weight(weight: np.ndarray) -> np.ndarray:
    """torch's (out, in, row, column) conv weight as (column shift, in) x (row shift, out)."""
    c_out, c_in = weight.shape[:2]
    return np.ascontiguousarray(weight.transpose(3, 1, 2, 0).reshape(3 * c_in, 3 * c_out))


# The largest nets a policy file may declare. A file states its sizes in its arrays' headers,
# and a few hundred compressed bytes can declare gigabytes; these bounds (far above the trained
# net's 16 channels, 3 layers and 64 hidden units) keep a load, and the net's scratch buffers,
# under a few hundred megabytes.
MAX_CHANNELS = 256
MAX_LAYERS = 32
MAX_HIDDEN = 1024


def expected_shapes(channels: int, layers: int, hidden: int) -> dict[str, tuple[int, ...]]:
    """The shape of every array of a net `channels` wide with `layers` 3x3 convolutions and
    `hidden` units in the value head, by its state-dict name."""
    shapes: dict[str, tuple[int, ...]] = {
        "extras.weight": (channels + NUM_ORIENTATIONS, NUM_EXTRAS),
        "extras.bias": (channels + NUM_ORIENTATIONS,),
        "stem.weight": (channels, BOARD_PLANES + 2, 3, 3),
        "stem.bias": (channels,)}
    for layer in range(layers - 1):
        shapes[f"convs.{layer}.weight"] = (channels, channels, 3, 3)
        shapes[f"convs.{layer}.bias"] = (channels,)
    shapes.update({
        "policy.weight": (NUM_ORIENTATIONS, channels, 1, 1),
        "policy.bias": (NUM_ORIENTATIONS,),
        "value_conv.weight": (4, channels, 1, 1),
        "value_conv.bias": (4,),
        "value_fc.weight": (hidden, 4 * CELLS),
        "value_fc.bias": (hidden,),
        "value_out.weight": (1, hidden),
        "value_out.bias": (1,)})
    return shapes


def _shape_problem(shapes: dict[str, tuple[int, ...]]) -> str | None:
    """What is wrong with a net of arrays of these shapes (None: nothing). The sizes are read
    from the stem and the value head, checked against the limits, and then every array must
    have exactly the shape they imply: nothing missing, nothing else."""
    for name in ("stem.weight", "value_fc.weight"):
        if name not in shapes:
            return f"no array {name}"
        if len(shapes[name]) < 1:
            return f"{name} has shape {shapes[name]}"
    channels, hidden = int(shapes["stem.weight"][0]), int(shapes["value_fc.weight"][0])
    layers = 1 + sum(1 for name in shapes if name.startswith("convs.") and name.endswith(".weight"))
    if not 1 <= channels <= MAX_CHANNELS:
        return f"{channels} channels, where 1 to {MAX_CHANNELS} load"
    if not 1 <= hidden <= MAX_HIDDEN:
        return f"{hidden} hidden units, where 1 to {MAX_HIDDEN} load"
    if layers > MAX_LAYERS:
        return f"{layers} layers, where at most {MAX_LAYERS} load"
    expected = expected_shapes(channels, layers, hidden)
    for name, shape in expected.items():
        if name not in shapes:
            return f"no array {name}"
        if tuple(shapes[name]) != shape:
            return f"{name} has shape {tuple(shapes[name])}, expected {shape}"
    for name in shapes:
        if name not in expected:
            return f"an unexpected array {name}"
    return None


def _value_problem(weights: dict[str, Any]) -> str | None:
    """What is wrong with the weights' values (None: nothing): they must be real floats, and
    finite, since one NaN spreads to every logit and a diverged run's file plays nothing."""
    for name, value in weights.items():
        array = np.asarray(value)
        if array.dtype.kind != "f":
            return f"{name} holds {array.dtype} values, not floats"
        if not np.isfinite(array).all():
            return f"{name} holds non-finite weights (NaN or infinite: a diverged run?)"
    return None


def _read_meta(array: np.ndarray) -> dict[str, Any] | None:
    """The JSON object of a `format` entry, or None when it is not one."""
    if array.shape != () or array.dtype.kind != "U":
        return None
    try:
        meta = json.loads(str(array))
    except ValueError:
        return None
    return meta if isinstance(meta, dict) else None


def read_policy_file(path: str | os.PathLike[str]) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
    """The checked arrays (as stored, float16 or float32) and meta of a policy file: what
    `Policy.load` reads, with its errors."""
    import zipfile
    import zlib

    name = os.fspath(path)

    def refuse(why: str) -> ValueError:
        return ValueError(f"{name} is not a tavrin_rl policy file ({why})")

    # O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is refused below
    fd = os.open(name, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise refuse("not a regular file")
    with os.fdopen(fd, "rb") as f:
        try:
            with zipfile.ZipFile(f) as archive:
                members = archive.infolist()
                names = [m.filename for m in members]
                if len(names) > 2 * MAX_LAYERS + 16:  # more than any net has: read no further
                    raise refuse(f"{len(names)} arrays")
                if len(set(names)) != len(names):
                    raise refuse("an array stored twice")
                if any(not n.endswith(".npy") for n in names):
                    raise refuse("not a numpy .npz archive")
                headers = {}
                for member in members:  # every header first: shapes before any allocation
                    with archive.open(member) as stream:
                        version = np.lib.format.read_magic(stream)
                        if version == (1, 0):
                            header = np.lib.format.read_array_header_1_0(stream)
                        else:
                            header = np.lib.format.read_array_header_2_0(stream)
                    headers[member.filename[:-4]] = header
                if "format" not in headers:
                    raise refuse("no format entry")
                shape, _, dtype = headers["format"]
                if shape != () or dtype.kind != "U" or dtype.itemsize > 1 << 16:
                    raise refuse("its format entry is not a string")
                with archive.open("format.npy") as stream:
                    meta = _read_meta(np.lib.format.read_array(stream, allow_pickle=False))
                if meta is None or meta.get("format") != FORMAT:
                    raise refuse(f"its format is not {FORMAT}")
                del headers["format"]
                for array_name, (shape, _, dtype) in headers.items():
                    if dtype.kind != "f":
                        raise refuse(f"{array_name} holds {dtype} values, not floats")
                problem = _shape_problem({k: tuple(h[0]) for k, h in headers.items()})
                if problem:
                    raise refuse(problem)
                weights = {}
                for array_name in headers:
                    with archive.open(array_name + ".npy") as stream:
                        weights[array_name] = np.lib.format.read_array(stream,
                                                                       allow_pickle=False)
        except ValueError as error:
            if str(error).startswith(name):
                raise
            raise refuse(str(error).split("\n")[0]) from None
        except (zipfile.BadZipFile, zlib.error, EOFError, OSError, KeyError) as error:
            raise refuse(f"damaged: {error}" if str(error) else "damaged") from None
    problem = _value_problem(weights)
    if problem:
        raise ValueError(f"{name}: {problem}")
    return weights, meta


def engine_array_names(layers: int) -> list[str]:
    """The arrays of a net of `layers` layers in the order `tavrin_rl._engine.Net` takes them."""
    names = ["extras.weight", "extras.bias", "stem.weight", "stem.bias"]
    for layer in range(layers - 1):
        names += [f"convs.{layer}.weight", f"convs.{layer}.bias"]
    return names + ["policy.weight", "policy.bias", "value_conv.weight", "value_conv.bias",
                    "value_fc.weight", "value_fc.bias", "value_out.weight", "value_out.bias"]


def _engine_inputs(board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
                   legal: np.ndarray) -> tuple[np.ndarray, ...]:
    """The arrays of `Policy.logits` as the engine's `Net.evaluate` reads them."""
    return (np.ascontiguousarray(board, np.uint8), np.ascontiguousarray(extras, np.float32),
            np.ascontiguousarray(segment, np.int64), np.ascontiguousarray(legal, np.int64))


class Policy:
    """A policy net read from a policy file: evaluated in the engine, with its forward pass in
    numpy (float32) beside it as the reference."""

    def __init__(self, weights: dict[str, np.ndarray], meta: dict[str, Any]) -> None:
        """A policy of float `weights` named as `PolicyNet`'s state dict (checked as a policy
        file is: ValueError when they do not make a net) and JSON `meta`."""
        shapes = {name: np.shape(value) for name, value in weights.items()}
        problem = _shape_problem(shapes) or _value_problem(weights)
        if problem:
            raise ValueError(f"these weights do not make a policy net: {problem}")
        w = {name: np.asarray(value, dtype=np.float32) for name, value in weights.items()}
        #: the checked weights, float32, by name (what the engine's net reads)
        self.weights = w
        self.meta = meta
        self.channels = int(w["stem.weight"].shape[0])
        self.layers = 1 + sum(1 for name in w if name.startswith("convs.")) // 2
        self.hidden = int(w["value_fc.weight"].shape[0])
        self.extras_w = np.ascontiguousarray(w["extras.weight"].T)
        self.extras_b = w["extras.bias"]
        stem = w["stem.weight"]
        self.convs = [(_shift_weight(stem[:, :BOARD_PLANES]), w["stem.bias"])]
        # the row and column planes are the same in every position: their share of the first
        # convolution is computed once
        self.stem_bias = _conv3x3(_COORDS[None], _shift_weight(stem[:, BOARD_PLANES:]),
                                  _scratch(1, 2, self.channels))[0] + w["stem.bias"]
        layer = 0
        while f"convs.{layer}.weight" in w:
            self.convs.append((_shift_weight(w[f"convs.{layer}.weight"]),
                               w[f"convs.{layer}.bias"]))
            layer += 1
        self.policy_w = np.ascontiguousarray(w["policy.weight"].reshape(NUM_ORIENTATIONS, -1))
        self.policy_b = w["policy.bias"]
        self.value_conv_w = np.ascontiguousarray(w["value_conv.weight"].reshape(4, -1).T)
        self.value_conv_b = w["value_conv.bias"]
        self.value_fc_w = np.ascontiguousarray(w["value_fc.weight"].T)
        self.value_fc_b = w["value_fc.bias"]
        self.value_out_w = np.ascontiguousarray(w["value_out.weight"].T)
        self.value_out_b = w["value_out.bias"]
        self._stem_scratch = _scratch(_CHUNK, BOARD_PLANES, self.channels)
        self._scratch = _scratch(_CHUNK, self.channels, self.channels)
        self._engine: Any = None

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> "Policy":
        """A policy from a file written by `save_policy` (or `python -m tavrin_rl train`).

        Raises OSError when the file cannot be opened (missing, unreadable, a folder), and
        ValueError "PATH is not a tavrin_rl policy file (why)" for anything else: not an `.npz`,
        a damaged one, no or a foreign `format`, missing or unknown arrays, wrong shapes or
        types, sizes beyond the limits, non-finite weights. Nothing from the file executes, and
        no array is allocated before every array's header has been checked."""
        weights, meta = read_policy_file(path)
        return cls(weights, meta)

    def trunk(self, board: np.ndarray, extras: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Board features (B, 20, 20, C) and orientation biases (B, 91) for board planes
        (B, 12, 20, 20) and extras (B, 88), at most `_CHUNK` positions."""
        b = board.shape[0]
        e = extras @ self.extras_w + self.extras_b
        x = board.transpose(0, 2, 3, 1)
        weight, bias = self.convs[0]
        h = _conv3x3(x, weight, self._stem_scratch)
        h += self.stem_bias
        h += e[:, None, None, :self.channels]
        np.maximum(h, 0, out=h)
        for weight, bias in self.convs[1:]:
            _conv3x3(h, weight, self._scratch, out=h)
            h += bias
            np.maximum(h, 0, out=h)
        return h, e[:, self.channels:]

    def _features(self, board: np.ndarray, extras: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        if len(board) <= _CHUNK:
            return self.trunk(board, extras)
        h = np.empty((len(board), BOARD_SIDE, BOARD_SIDE, self.channels), np.float32)
        bias = np.empty((len(board), NUM_ORIENTATIONS), np.float32)
        for i in range(0, len(board), _CHUNK):
            h[i:i + _CHUNK], bias[i:i + _CHUNK] = self.trunk(board[i:i + _CHUNK],
                                                             extras[i:i + _CHUNK])
        return h, bias

    def __getstate__(self) -> dict[str, Any]:
        # the engine's net is made again on first use where the policy lands
        return {**self.__dict__, "_engine": None}

    @property
    def engine(self) -> Any:
        """The same net in the engine (`tavrin_rl._engine.Net`), made on first use from the
        checked weights: what `logits`, `value`, the agents and `VectorGames` net seats run."""
        if self._engine is None:
            from tavrin_rl import _engine
            arrays = [np.ascontiguousarray(self.weights[name], np.float32)
                      for name in engine_array_names(self.layers)]
            self._engine = _engine.Net(self.channels, self.layers, self.hidden, arrays)
        return self._engine

    def logits(self, board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
               legal: np.ndarray) -> np.ndarray:
        """The logits of the legal grid indexes `legal` (E,) of positions `segment` (E,),
        ascending, given board planes (B, 12, 20, 20) and extras (B, 88): the engine's forward
        pass."""
        out = self.engine.evaluate(*_engine_inputs(board, extras, segment, legal), False)
        return np.frombuffer(out, np.float32)

    def value(self, board: np.ndarray, extras: np.ndarray) -> np.ndarray:
        """(B,) the predicted outcome (1/2 win share + 1/2 rank) for the mover: the engine's
        forward pass."""
        none = np.zeros(0, np.int64)
        _, values = self.engine.evaluate(*_engine_inputs(board, extras, none, none), True)
        return np.frombuffer(values, np.float32)

    # The forward pass in numpy: the oracle the engine's is tested against.

    def reference_logits(self, board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
                         legal: np.ndarray) -> np.ndarray:
        """`logits` computed in numpy."""
        h, orientation_bias = self._features(board, extras)
        features = h.reshape(-1, self.channels)[segment * CELLS + legal % CELLS]
        orientation = legal // CELLS
        return (np.einsum("ec,ec->e", features, self.policy_w[orientation])
                + self.policy_b[orientation] + orientation_bias[segment, orientation])

    def reference_value(self, board: np.ndarray, extras: np.ndarray) -> np.ndarray:
        """`value` computed in numpy."""
        h, _ = self._features(board, extras)
        v = np.maximum(h @ self.value_conv_w + self.value_conv_b, 0)
        v = v.transpose(0, 3, 1, 2).reshape(len(v), -1)  # torch flattens channels first
        v = np.maximum(v @ self.value_fc_w + self.value_fc_b, 0)
        return (v @ self.value_out_w + self.value_out_b)[:, 0]  # type: ignore[no-any-return]

    def choose(self, board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
               legal: np.ndarray, uniform: np.ndarray | None = None) -> np.ndarray:
        """(B,) one grid index per position: the most likely legal one, or one drawn from the
        policy with `uniform` (B,) draws in [0, 1)."""
        logits = self.logits(board, extras, segment, legal)
        count = board.shape[0]
        if uniform is None:
            return legal[segment_argmax(logits, segment, count)]
        return legal[segment_sample(logits, segment, count, uniform)]


def policy_arrays(weights: dict[str, np.ndarray], **meta: Any) -> dict[str, np.ndarray]:
    """The arrays of a policy file for float32 `weights`: each as float16, and the `format`
    entry with `meta` (JSON values). ValueError when a weight is not finite as float16 (a
    diverged net): such a file could not be loaded."""
    arrays = {name: np.asarray(value, dtype=np.float32) for name, value in weights.items()}
    problem = _shape_problem({name: value.shape for name, value in arrays.items()})
    if problem:
        raise ValueError(f"these weights do not make a policy net: {problem}")
    with np.errstate(over="ignore"):
        arrays = {name: value.astype(np.float16) for name, value in arrays.items()}
    problem = _value_problem(arrays)
    if problem:
        raise ValueError(f"cannot save these weights as a policy: {problem}")
    arrays["format"] = np.array(json.dumps({"format": FORMAT, **meta}))
    return arrays


def save_policy(path: str | os.PathLike[str], weights: dict[str, np.ndarray],
                **meta: Any) -> None:
    """Write float32 `weights` as a float16 policy file; `meta` (JSON values) goes along. The
    file is replaced only once complete: a failure (a full disk) removes the temporary."""
    arrays = policy_arrays(weights, **meta)
    tmp = f"{os.fspath(path)}.tmp.npz"
    try:
        np.savez_compressed(tmp, **arrays)  # type: ignore[arg-type]
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


# Policies by file, so that agents and seats of one file share one net in the engine: (path,
# size, modification time) -> Policy. A file rewritten since is read again.
_LOADED: dict[tuple[str, int, int], Policy] = {}
# Policies given for a path while a dataset task plays (it carries its nets' arrays: the driver's
# path may not exist where the task runs, or may hold another net by now). This thread's alone and
# only for the task's time: a task played in the caller's own process must not pin its nets there.
_GIVEN = threading.local()


@contextlib.contextmanager
def provide_policies(policies: dict[str, Policy]) -> Iterator[None]:
    """While the block runs, `load_policy(path)` returns `policies[path]` in this thread,
    whatever is at `path`."""
    previous: dict[str, Policy] = getattr(_GIVEN, "policies", {})
    _GIVEN.policies = {**previous, **{os.path.realpath(os.fspath(path)): policy
                                      for path, policy in policies.items()}}
    try:
        yield
    finally:
        _GIVEN.policies = previous


def load_policy(path: str | os.PathLike[str]) -> Policy:
    """`Policy.load(path)`, read once per file and shared."""
    name = os.path.realpath(os.fspath(path))
    given = getattr(_GIVEN, "policies", {}).get(name)
    if given is not None:
        return given  # type: ignore[no-any-return]
    try:
        info = os.stat(name)
        key: tuple[str, int, int] | None = (name, info.st_size, info.st_mtime_ns)
    except OSError:
        key = None  # Policy.load says what is wrong with the path
    if key is not None and key in _LOADED:
        return _LOADED[key]
    policy = Policy.load(path)
    if key is not None:
        if len(_LOADED) >= 16:  # a long run's snapshots come and go: keep the latest
            _LOADED.pop(next(iter(_LOADED)))
        _LOADED[key] = policy
    return policy


def blind_arrays(legal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """What a position shows through its legal grid indexes alone: an empty board, and of the
    mover's pieces the kinds `legal` places (other seats' unknown: none)."""
    pieces = np.zeros((1, NUM_SEATS, NUM_KINDS), np.uint8)
    pieces[0, 0, np.asarray(ORIENTATION_KIND)[legal // CELLS]] = 1
    return (np.zeros((1, BOARD_PLANES, BOARD_SIDE, BOARD_SIDE), np.uint8),
            extras_of(pieces, np.zeros((1, NUM_SEATS), np.uint8)))


def position_arrays(game: PyTavrin) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Board planes (1, 12, 20, 20), extras (1, 88) and action mask (36400,) of the agent to move
    in `game`, in its frame: what `VectorGames(observation="compact")` gives."""
    seen = game.observe(game.agent_selection)
    board = np.empty((1, BOARD_PLANES, CELLS), np.uint8)
    # the engine's board groups, in channel order: cells, corners, blocked cells of each seat
    board[0] = np.frombuffer(seen.observation + seen.corners + seen.blocked,
                             np.uint8).reshape(BOARD_PLANES, CELLS)
    extras = extras_of(np.frombuffer(seen.pieces, np.uint8)[None],
                       np.frombuffer(seen.done, np.uint8)[None])
    mask = np.frombuffer(seen.action_mask, np.uint8)
    return board.reshape(1, BOARD_PLANES, BOARD_SIDE, BOARD_SIDE), extras, mask
