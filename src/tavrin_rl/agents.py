"""Built-in agents for self-play and as baselines to train against.

An agent picks a grid index from an action mask (`PyObservation.action_mask`, the 36400 bytes of
its own frame). Each agent draws its random choices from its own seeded `random.Random`, so a game
between built-in agents is fully determined by their seeds. Plain Python, no numpy.
"""

from __future__ import annotations

import random

from tavrin_rl.catalogue import (
    BOARD_SIDE, NUM_ACTIONS, ORIENTATION_CELLS, ORIENTATION_KIND, PIECE_CELLS,
)

_ANCHORS = BOARD_SIDE * BOARD_SIDE

# Kinds are numbered by size, so the orientations of the pieces of n cells form one run of
# orientation numbers, and a larger piece always has a larger grid index.
_SIZE_START: dict[int, int] = {}
for _orientation, _kind in enumerate(ORIENTATION_KIND):
    _SIZE_START.setdefault(PIECE_CELLS[_kind], _orientation)
# How far (rows + columns) an orientation's farthest cell lies from its bounding box's corner.
_REACH = tuple(max(r + c for r, c in cells) for cells in ORIENTATION_CELLS)


def legal_actions(mask: bytes, start: int = 0, stop: int = NUM_ACTIONS) -> list[int]:
    """The grid indexes in [start, stop) whose mask byte is 1, in increasing order."""
    found = []
    index = mask.find(1, start, stop)
    while index >= 0:
        found.append(index)
        index = mask.find(1, index + 1, stop)
    return found


class Agent:
    """Base of the built-in agents: `act(mask)` returns a grid index with a 1 in `mask`, or None
    when the mask is all zero (the agent is out of moves and passes)."""

    name = "agent"
    description = ""

    def __init__(self, seed: int | str | None = None) -> None:
        self.rng = random.Random(seed)

    def act(self, mask: bytes) -> int | None:
        """The grid index to play for the 36400-byte action `mask`, or None to pass."""
        raise NotImplementedError

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"


class RandomAgent(Agent):
    """Plays a uniformly random legal placement: the weakest baseline."""

    name = "random"
    description = "a uniformly random legal placement"

    def act(self, mask: bytes) -> int | None:
        """A uniformly random index among those with a 1 in `mask`."""
        legal = legal_actions(mask)
        return self.rng.choice(legal) if legal else None


def _largest(mask: bytes) -> list[int]:
    """The legal placements of the largest piece that still fits anywhere."""
    last = mask.rfind(1)
    if last < 0:
        return []
    size = PIECE_CELLS[ORIENTATION_KIND[last // _ANCHORS]]
    return legal_actions(mask, _SIZE_START[size] * _ANCHORS, last + 1)


class GreedyAgent(Agent):
    """Plays its largest piece that still fits, at a random legal place: large pieces are the
    hardest to fit late, and every cell placed counts towards the score."""

    name = "greedy"
    description = "the largest piece that fits, placed at random"

    def act(self, mask: bytes) -> int | None:
        """A random legal placement of the largest piece that has one."""
        legal = _largest(mask)
        return self.rng.choice(legal) if legal else None


class ReachAgent(Agent):
    """Plays its largest piece that fits, where it reaches farthest from its own corner: it
    claims room towards the centre early, which beats `greedy` and `random` clearly."""

    name = "reach"
    description = "the largest piece that fits, placed to reach farthest from its own corner"

    def act(self, mask: bytes) -> int | None:
        """Among the largest piece's legal placements, one whose farthest cell has the largest
        row + column in the agent's frame (ties broken at random)."""
        best: list[int] = []
        best_reach = -1
        for index in _largest(mask):
            orientation, anchor = divmod(index, _ANCHORS)
            row, column = divmod(anchor, BOARD_SIDE)
            reach = row + column + _REACH[orientation]
            if reach > best_reach:
                best, best_reach = [index], reach
            elif reach == best_reach:
                best.append(index)
        return self.rng.choice(best) if best else None


AGENTS: dict[str, type[Agent]] = {
    cls.name: cls for cls in (RandomAgent, GreedyAgent, ReachAgent)
}


def make_agent(name: str, seed: int | str | None = None) -> Agent:
    """A new built-in agent by name (one of `AGENTS`), with its own random stream."""
    try:
        factory = AGENTS[name]
    except KeyError:
        raise ValueError(f"unknown agent {name!r} (choose from {', '.join(AGENTS)})") from None
    return factory(seed)
