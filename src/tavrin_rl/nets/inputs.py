"""What the net reads and how its logits become picks: a position's arrays (from a game, from the
batched engine's CSR legal indexes, or from the legal indexes alone), and the argmax or a draw
within each position's logits."""

from __future__ import annotations

import numpy as np

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.catalogue import BOARD_SIDE, NUM_KINDS, NUM_SEATS, ORIENTATION_KIND
from tavrin_rl.nets.format import BOARD_PLANES, CELLS


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
    picks: np.ndarray = np.minimum(np.searchsorted(cumulative, targets, side="right"),
                                   stops - 1)  # rounding at a segment's top stays inside it
    return picks


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
