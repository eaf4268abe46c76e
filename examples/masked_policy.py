"""An action-masked softmax policy trained with REINFORCE, with numpy only.

player_0 scores every legal placement with two features (the piece's size and how far the
placement reaches from its own corner), samples from the softmax over the legal ones only, and
learns the two weights from its "rank" outcome against three uniformly random opponents.

    python examples/masked_policy.py [games] [seed]
"""

from __future__ import annotations

import sys

import numpy as np
import numpy.typing as npt

from tavrin_rl import PyTavrin
from tavrin_rl.catalogue import GRID_SHAPE, ORIENTATION_CELLS, ORIENTATION_KIND, PIECE_CELLS

FloatArray = npt.NDArray[np.float64]
IndexArray = npt.NDArray[np.intp]

# Features of every grid index of the (91, 20, 20) action grid, shape (36400, 2). Positions that
# hold no placement get features too; the mask keeps them out of every choice.
_orientation, _row, _column = np.indices(GRID_SHAPE).reshape(3, -1)
_size = np.array([PIECE_CELLS[kind] for kind in ORIENTATION_KIND], dtype=np.float64)
_reach = np.array([max(r + c for r, c in cells) for cells in ORIENTATION_CELLS], dtype=np.float64)
FEATURES: FloatArray = np.stack([
    _size[_orientation] / 5.0,                                # 0.2 (I1) to 1.0 (five cells)
    (_row + _column + _reach[_orientation]) / 38.0,           # 0 at the own corner, 1 opposite
], axis=1)


def masked_softmax(weights: FloatArray, mask: bytes) -> tuple[IndexArray, FloatArray]:
    """The legal grid indexes and the policy's probability of each."""
    legal = np.flatnonzero(np.frombuffer(mask, dtype=bool))
    logits = FEATURES[legal] @ weights
    probabilities = np.exp(logits - logits.max())
    return legal, probabilities / probabilities.sum()


def play(weights: FloatArray, rng: np.random.Generator) -> tuple[FloatArray, float]:
    """One game; returns player_0's summed score-function gradient and its rank outcome."""
    game = PyTavrin()
    gradient = np.zeros_like(weights)
    while not game.is_over:
        agent = game.agent_selection
        if game.terminations[agent]:
            game.step(None)
            continue
        mask = game.observe(agent).action_mask
        if agent == 0:
            legal, probabilities = masked_softmax(weights, mask)
            choice = int(rng.choice(len(legal), p=probabilities))
            # d/dw log softmax = features of the chosen action - expected features
            gradient += FEATURES[legal[choice]] - probabilities @ FEATURES[legal]
            game.step(int(legal[choice]))
        else:
            game.step(int(rng.choice(np.flatnonzero(np.frombuffer(mask, dtype=bool)))))
    outcome = game.outcome("rank")
    assert outcome is not None
    return gradient, outcome[0]


def main(argv: list[str]) -> int:
    games = int(argv[1]) if len(argv) > 1 else 100
    rng = np.random.default_rng(int(argv[2]) if len(argv) > 2 else 0)
    weights = np.zeros(2)
    baseline, learning_rate = 0.5, 0.5
    recent: list[float] = []
    for number in range(1, games + 1):
        gradient, reward = play(weights, rng)
        weights += learning_rate * (reward - baseline) * gradient
        baseline += 0.1 * (reward - baseline)
        recent.append(reward)
        if number % 10 == 0 or number == games:
            print(f"game {number}: mean rank outcome {np.mean(recent):.3f}, "
                  f"weights size {weights[0]:+.2f} reach {weights[1]:+.2f}")
            recent.clear()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
