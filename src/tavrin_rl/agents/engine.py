"""The agents whose rule is one of the engine's policies: `random`, `greedy` and `reach`."""

from __future__ import annotations

from typing import Any

from tavrin_rl import _engine
from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents.base import POLICIES, Agent, seen_mask


class EngineAgent(Agent):
    """An agent whose rule is one of the engine's policies."""

    policy = "random"

    def __init__(self, seed: int | str | None = None) -> None:
        super().__init__(seed)
        self._code = POLICIES.index(self.policy)

    def act(self, observation: Any, game: PyTavrin | None = None) -> int | None:
        source: Any = seen_mask(observation) if game is None else game.to_bytes()
        if source is None:
            raise TypeError("act() needs the agent's observation or the game: call "
                            "act(observation) or act(None, game=game)")
        action, self.stream.state = _engine.pick(self._code, source, self.stream.state)
        return action


class RandomAgent(EngineAgent):
    """Plays a uniformly random legal placement: the weakest baseline."""

    name = policy = "random"
    description = "a uniformly random legal placement"


class GreedyAgent(EngineAgent):
    """Plays its largest piece that still fits, at a random legal place: large pieces are the
    hardest to fit late, and every cell placed counts towards the score."""

    name = policy = "greedy"
    description = "the largest piece that fits, placed at random"


class ReachAgent(EngineAgent):
    """Plays its largest piece that fits, where it reaches farthest from its own corner (row +
    column of its farthest cell, ties at random): it claims room towards the centre early, which
    beats `greedy` and `random` clearly."""

    name = policy = "reach"
    description = "the largest piece that fits, placed to reach farthest from its own corner"
