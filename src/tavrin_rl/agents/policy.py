"""A trained policy as an agent: `make_agent("policy", path=PATH)`, "policy:PATH" in --agents,
or `make_agent("baseline")` for the policy shipped with the package. The net runs in numpy
(`tavrin_rl.agents.net`), loaded when an agent is made, so that the command line starts without
numpy.

    from tavrin_rl.agents import make_agent
    agent = make_agent("policy", path="runs/x/policy.npz")
    agent.act(None, game=game)
"""

from __future__ import annotations

import os
from importlib import resources

from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents.base import Agent


def baseline_path() -> str:
    """The path of the policy shipped with the package."""
    return str(resources.files("tavrin_rl") / "baseline" / "baseline.npz")


class PolicyAgent(Agent):
    """Plays a trained policy (a policy file; the shipped baseline without one): its most likely
    legal placement, or one drawn from it with `sample=True` (from the agent's stream)."""

    name = "policy"
    description = "a trained policy net (policy:PATH; the shipped baseline without a path)"
    argument: str | None = "path"  # what make_agent("policy:PATH") passes

    def __init__(self, seed: int | str | None = None, path: str | os.PathLike[str] | None = None,
                 sample: bool = False) -> None:
        from tavrin_rl.agents.net import Policy
        super().__init__(seed)
        self.path = baseline_path() if path is None else os.fspath(path)
        self.policy = Policy.load(self.path)
        self.sample = sample

    def act(self, mask: bytes | None, game: PyTavrin | None = None) -> int | None:
        """The policy's placement for the agent to move in `game`, or from `mask` alone. The net
        reads the board: with only a mask it sees an empty board and, of the mover's pieces,
        those the mask can place; pass the game for real play. `mask`, given with `game`, must be
        that agent's action mask."""
        import numpy as np

        from tavrin_rl.agents.net import blind_arrays, position_arrays
        if game is not None:
            board, extras, own_mask = position_arrays(game)
            legal = np.flatnonzero(own_mask if mask is None else np.frombuffer(mask, np.uint8))
        elif mask is not None:
            legal = np.flatnonzero(np.frombuffer(mask, np.uint8))
            board, extras = blind_arrays(legal)
        else:
            raise TypeError("act() needs an action mask or a game")
        if legal.size == 0:
            return None
        uniform = None
        if self.sample:
            from tavrin_rl import _engine  # one step of the agent's stream, as the engine's agents
            self.stream.state = _engine.stream_for_game(self.stream.state, 0)
            uniform = np.array([(self.stream.state >> 11) / 2.0 ** 53])
        segment = np.zeros(legal.size, np.intp)
        return int(self.policy.choose(board, extras, segment, legal, uniform)[0])

    def __repr__(self) -> str:
        return f"{type(self).__name__}(path={self.path!r})"


class BaselineAgent(PolicyAgent):
    """The policy shipped with the package."""

    name = "baseline"
    description = "the trained policy shipped with tavrin_rl"
    argument = None

    def __init__(self, seed: int | str | None = None, sample: bool = False) -> None:
        super().__init__(seed, path=baseline_path(), sample=sample)

