"""The policy net's forward pass in numpy (float32): the oracle the engine's is tested against,
and what `Policy.reference_logits` and `Policy.reference_value` run, where torch is absent too.

The convolutions run channels-last on chunks of a few positions, with each 3x3 kernel laid out
so that one matrix product gives all three row shifts (`_conv3x3`)."""

from __future__ import annotations

import numpy as np

from tavrin_rl.catalogue import BOARD_SIDE, NUM_ORIENTATIONS
from tavrin_rl.nets.format import BOARD_PLANES, CELLS, sizes_of

# Positions evaluated together: enough for a matrix product to pay, few enough for the
# activations (B x 400 x 144 floats in a convolution) to stay in cache.
CHUNK = 8

_COORDS = np.stack(np.meshgrid(np.arange(BOARD_SIDE), np.arange(BOARD_SIDE), indexing="ij"),
                   axis=-1).astype(np.float32) / (BOARD_SIDE - 1)  # (20, 20, 2): row, column


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


class NumpyForward:
    """The forward pass of float32 `weights` (checked: named and shaped as `PolicyNet`'s state
    dict), laid out once for numpy's products."""

    def __init__(self, weights: dict[str, np.ndarray]) -> None:
        w = weights
        self.channels, self.layers, self.hidden = sizes_of({k: v.shape for k, v in w.items()})
        self.extras_w = np.ascontiguousarray(w["extras.weight"].T)
        self.extras_b = w["extras.bias"]
        stem = w["stem.weight"]
        self.stem_w = _shift_weight(stem[:, :BOARD_PLANES])
        # the row and column planes are the same in every position: their share of the first
        # convolution is computed once, with the stem's bias
        self.stem_bias = _conv3x3(_COORDS[None], _shift_weight(stem[:, BOARD_PLANES:]),
                                  _scratch(1, 2, self.channels))[0] + w["stem.bias"]
        self.convs = [(_shift_weight(w[f"convs.{layer}.weight"]), w[f"convs.{layer}.bias"])
                      for layer in range(self.layers - 1)]
        self.policy_w = np.ascontiguousarray(w["policy.weight"].reshape(NUM_ORIENTATIONS, -1))
        self.policy_b = w["policy.bias"]
        self.value_conv_w = np.ascontiguousarray(w["value_conv.weight"].reshape(4, -1).T)
        self.value_conv_b = w["value_conv.bias"]
        self.value_fc_w = np.ascontiguousarray(w["value_fc.weight"].T)
        self.value_fc_b = w["value_fc.bias"]
        self.value_out_w = np.ascontiguousarray(w["value_out.weight"].T)
        self.value_out_b = w["value_out.bias"]
        self._stem_scratch = _scratch(CHUNK, BOARD_PLANES, self.channels)
        self._scratch = _scratch(CHUNK, self.channels, self.channels)

    def trunk(self, board: np.ndarray, extras: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Board features (B, 20, 20, C) and orientation biases (B, 91) for board planes
        (B, 12, 20, 20) and extras (B, 88), at most `CHUNK` positions."""
        e = extras @ self.extras_w + self.extras_b
        h = _conv3x3(board.transpose(0, 2, 3, 1), self.stem_w, self._stem_scratch)
        h += self.stem_bias
        h += e[:, None, None, :self.channels]
        np.maximum(h, 0, out=h)
        for weight, bias in self.convs:
            _conv3x3(h, weight, self._scratch, out=h)
            h += bias
            np.maximum(h, 0, out=h)
        return h, e[:, self.channels:]

    def features(self, board: np.ndarray, extras: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """`trunk` of any number of positions, `CHUNK` at a time."""
        if len(board) <= CHUNK:
            return self.trunk(board, extras)
        h = np.empty((len(board), BOARD_SIDE, BOARD_SIDE, self.channels), np.float32)
        bias = np.empty((len(board), NUM_ORIENTATIONS), np.float32)
        for i in range(0, len(board), CHUNK):
            h[i:i + CHUNK], bias[i:i + CHUNK] = self.trunk(board[i:i + CHUNK], extras[i:i + CHUNK])
        return h, bias

    def logits(self, board: np.ndarray, extras: np.ndarray, segment: np.ndarray,
               legal: np.ndarray) -> np.ndarray:
        """The logits (E,) of the legal grid indexes `legal` (E,) of positions `segment` (E,)."""
        h, orientation_bias = self.features(board, extras)
        features = h.reshape(-1, self.channels)[segment * CELLS + legal % CELLS]
        orientation = legal // CELLS
        logits: np.ndarray = (np.einsum("ec,ec->e", features, self.policy_w[orientation])
                              + self.policy_b[orientation] + orientation_bias[segment, orientation])
        return logits

    def value(self, board: np.ndarray, extras: np.ndarray) -> np.ndarray:
        """(B,) the value head's output."""
        h, _ = self.features(board, extras)
        v = np.maximum(h @ self.value_conv_w + self.value_conv_b, 0)
        v = v.transpose(0, 3, 1, 2).reshape(len(v), -1)  # torch flattens channels first
        v = np.maximum(v @ self.value_fc_w + self.value_fc_b, 0)
        return (v @ self.value_out_w + self.value_out_b)[:, 0]  # type: ignore[no-any-return]
