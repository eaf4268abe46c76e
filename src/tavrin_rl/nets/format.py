"""The policy file: what it holds, its limits, its one reader and its writer.

A policy file is an `.npz` of float16 arrays named as in `tavrin_rl.nets.torch_net.PolicyNet`'s
state dict, plus a `format` entry: a JSON object whose "format" is `FORMAT`, with whatever the
writer added (the training run's settings and counters). The net reads the 12 compact board
planes of the mover's frame with a row and a column plane, and the pieces (4 x 21) and
out-of-moves flags (4) through a dense layer that adds a bias to the first convolution and one
per orientation to the policy logits. Its policy head is a 1x1 convolution with one output
channel per orientation over the 20 x 20 board, which is the action grid itself (channel o at
cell (r, c) is grid index o * 400 + r * 20 + c).
"""

from __future__ import annotations

import json
import os
import stat
import tokenize
import zipfile
import zlib
from collections.abc import Callable
from typing import IO, Any, BinaryIO

import numpy as np

from tavrin_rl._atomic import write_file
from tavrin_rl._limits import MAX_CHANNELS, MAX_HIDDEN, MAX_LAYERS
from tavrin_rl.catalogue import BOARD_CHANNELS, BOARD_SIDE, FLAT_SIZE, NUM_ORIENTATIONS

FORMAT = "tavrin_rl.policy/1"
BOARD_PLANES = BOARD_CHANNELS
CELLS = BOARD_SIDE * BOARD_SIDE
NUM_EXTRAS = FLAT_SIZE - BOARD_PLANES * CELLS  # pieces by seat and kind, then the out-of-moves flags

# What numpy's reading of an array header raises besides ValueError when the header is not what
# it says: its text is parsed as a Python literal, so a header cut short ends the tokenizer
# (TokenError), a broken one the parser (SyntaxError), a nested one its recursion, and a header
# of the wrong types the checks after it (TypeError).
_HEADER_FAULTS = (tokenize.TokenError, SyntaxError, TypeError, RecursionError, OverflowError)


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


def sizes_of(shapes: dict[str, tuple[int, ...]]) -> tuple[int, int, int]:
    """(channels, layers, hidden) of a net of arrays of these shapes (checked by
    `shape_problem`)."""
    layers = 1 + sum(1 for name in shapes if name.startswith("convs.") and name.endswith(".weight"))
    return int(shapes["stem.weight"][0]), layers, int(shapes["value_fc.weight"][0])


def shape_problem(shapes: dict[str, tuple[int, ...]]) -> str | None:
    """What is wrong with a net of arrays of these shapes (None: nothing). The sizes are read
    from the stem and the value head, checked against the engine's limits (a file states its
    sizes in its headers, and a few hundred compressed bytes can declare gigabytes), and then
    every array must have exactly the shape they imply: nothing missing, nothing else."""
    for name in ("stem.weight", "value_fc.weight"):
        if name not in shapes:
            return f"no array {name}"
        if len(shapes[name]) < 1:
            return f"{name} has shape {shapes[name]}"
    channels, layers, hidden = sizes_of(shapes)
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


def value_problem(weights: dict[str, Any]) -> str | None:
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


def _read_header(stream: IO[bytes]) -> tuple[tuple[int, ...], bool, np.dtype[Any]]:
    """An array's (shape, Fortran order, dtype) from its `.npy` header; ValueError when the
    header is not one."""
    version = np.lib.format.read_magic(stream)
    try:
        if version == (1, 0):
            return np.lib.format.read_array_header_1_0(stream)
        return np.lib.format.read_array_header_2_0(stream)
    except _HEADER_FAULTS as error:
        raise ValueError(f"an array header that does not parse ({type(error).__name__})") from None


def _read_archive(file: BinaryIO, refuse: Callable[[str], ValueError]) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
    """The arrays and meta of the `.npz` open in `file`, every header checked before any array
    is read; `refuse(why)` makes the error to raise."""
    with zipfile.ZipFile(file) as archive:
        members = archive.infolist()
        names = [m.filename for m in members]
        if len(names) > 2 * MAX_LAYERS + 16:  # more than any net has: read no further
            raise refuse(f"{len(names)} arrays")
        if len(set(names)) != len(names):
            raise refuse("an array stored twice")
        if any(not n.endswith(".npy") for n in names):
            raise refuse("not a numpy .npz archive")
        for member in members:  # numpy stores or deflates, and never encrypts
            if member.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
                raise refuse(f"{member.filename} is compressed by method {member.compress_type}")
            if member.flag_bits & 0x61:  # bits 0 and 6 encryption, 5 patch data
                raise refuse(f"{member.filename} is encrypted or patch data")
        headers = {}
        for member in members:  # every header first: shapes before any allocation
            with archive.open(member) as stream:
                headers[member.filename[:-4]] = _read_header(stream)
        if "format" not in headers:
            raise refuse("no format entry")
        shape, _, dtype = headers.pop("format")
        if shape != () or dtype.kind != "U" or dtype.itemsize > 1 << 16:
            raise refuse("its format entry is not a string")
        with archive.open("format.npy") as stream:
            meta = _read_meta(np.lib.format.read_array(stream, allow_pickle=False))
        if meta is None or meta.get("format") != FORMAT:
            raise refuse(f"its format is not {FORMAT}")
        for array_name, (shape, _, dtype) in headers.items():
            if dtype.kind != "f":
                raise refuse(f"{array_name} holds {dtype} values, not floats")
        problem = shape_problem({k: tuple(h[0]) for k, h in headers.items()})
        if problem:
            raise refuse(problem)
        weights = {}
        for array_name in headers:
            with archive.open(array_name + ".npy") as stream:
                weights[array_name] = np.lib.format.read_array(stream, allow_pickle=False)
    return weights, meta


def read_policy_file(path: str | os.PathLike[str]) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
    """The checked arrays (as stored, float16 or float32) and meta of a policy file: the one
    reader of policy files, with the errors `Policy.load` documents."""
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
            weights, meta = _read_archive(f, refuse)
        except ValueError as error:
            if str(error).startswith(name):
                raise
            raise refuse(str(error).split("\n")[0]) from None
        # (zipfile raises NotImplementedError and RuntimeError for what a member's own header
        # claims: a compression method, a patch, an encryption its directory entry did not show)
        except (zipfile.BadZipFile, zlib.error, EOFError, OSError, KeyError, NotImplementedError,
                RuntimeError) as error:
            raise refuse(f"damaged: {error}" if str(error) else "damaged") from None
    problem = value_problem(weights)
    if problem:
        raise ValueError(f"{name}: {problem}")
    return weights, meta


def policy_arrays(weights: dict[str, np.ndarray], **meta: Any) -> dict[str, np.ndarray]:
    """The arrays of a policy file for float32 `weights`: each as float16, and the `format`
    entry with `meta` (JSON values). ValueError when a weight is not finite as float16 (a
    diverged net): such a file could not be loaded."""
    arrays = {name: np.asarray(value, dtype=np.float32) for name, value in weights.items()}
    problem = shape_problem({name: value.shape for name, value in arrays.items()})
    if problem:
        raise ValueError(f"these weights do not make a policy net: {problem}")
    with np.errstate(over="ignore"):
        arrays = {name: value.astype(np.float16) for name, value in arrays.items()}
    problem = value_problem(arrays)
    if problem:
        raise ValueError(f"cannot save these weights as a policy: {problem}")
    arrays["format"] = np.array(json.dumps({"format": FORMAT, **meta}))
    return arrays


def save_policy(path: str | os.PathLike[str], weights: dict[str, np.ndarray],
                **meta: Any) -> None:
    """Write float32 `weights` as a float16 policy file; `meta` (JSON values) goes along. The
    file is replaced only once complete (the package's one writer): a failure (a full disk)
    leaves the old file and no temporary."""
    arrays = policy_arrays(weights, **meta)
    write_file(path, lambda file: np.savez_compressed(file, **arrays))  # type: ignore[arg-type]
