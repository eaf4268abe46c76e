"""A trained policy as an agent: `make_agent("policy", path=PATH)`, "policy:PATH" in --agents,
or `make_agent("baseline")` for the policy shipped with the package. The net runs in the engine
(`tavrin_rl.nets.Policy.engine`), the same code that plays "baseline" and "policy:PATH"
seats in `VectorGames`; it is loaded when an agent is made, so that the command line starts
without numpy.

    from tavrin_rl.agents import make_agent
    agent = make_agent("policy", path="runs/x/policy.npz")
    agent.act(None, game=game)
"""

from __future__ import annotations

import os
from typing import Any

from tavrin_rl._tavrin import PyObservation, PyTavrin
from tavrin_rl.agents.base import Agent
from tavrin_rl.nets import baseline_path as baseline_path


class PolicyAgent(Agent):
    """Plays a trained policy (a policy file; the shipped baseline without one): its most likely
    legal placement, drawing nothing, or with `sample=True` one drawn from it with one draw of
    the agent's stream per placement. A seeded agent plays as a `VectorGames` seat of the same
    net does for the same stream."""

    name = "policy"
    description = ("a trained policy net (policy:PATH, no comma in PATH: commas separate seats; "
                   "the shipped baseline without a path)")
    argument: str | None = "path"  # what make_agent("policy:PATH") passes

    def __init__(self, seed: int | str | None = None, path: str | os.PathLike[str] | None = None,
                 sample: bool = False) -> None:
        from tavrin_rl.nets.policy import load_policy
        super().__init__(seed)
        self.path = baseline_path() if path is None else os.fspath(path)
        self.policy = load_policy(self.path)
        self.sample = bool(sample)

    @classmethod
    def from_policy(cls, policy: Any, seed: int | str | None = None,
                    sample: bool = False) -> "PolicyAgent":
        """An agent of a `Policy` already loaded (or made from a learner's weights)."""
        agent = cls.__new__(cls)
        Agent.__init__(agent, seed)
        agent.path, agent.policy, agent.sample = "", policy, bool(sample)
        return agent

    def act(self, observation: Any, game: PyTavrin | None = None) -> int | None:
        """The policy's placement for the agent to move in `game` (`observation` may then be
        None), or for the agent whose `PyObservation` is `observation`. The net reads the board,
        so an action mask alone is refused: pass the observation or the game."""
        net = self.policy.engine
        if game is not None:
            action, self.stream.state = net.pick(game.to_bytes(), self.stream.state, self.sample)
            return action  # type: ignore[no-any-return]
        if isinstance(observation, PyObservation):
            board = observation.observation + observation.corners + observation.blocked
            import numpy as np

            from tavrin_rl.nets.inputs import extras_of
            extras = extras_of(np.frombuffer(observation.pieces, np.uint8)[None],
                               np.frombuffer(observation.done, np.uint8)[None])
            action, self.stream.state = net.choose(board, extras, observation.action_mask,
                                                   self.stream.state, self.sample)
            return action  # type: ignore[no-any-return]
        raise TypeError("a policy net reads the board, which an action mask does not show: call "
                        "act(observation) with the agent's PyObservation, or act(None, game=game)")

    def __repr__(self) -> str:
        return f"{type(self).__name__}(path={self.path!r})"


class BaselineAgent(PolicyAgent):
    """The policy shipped with the package."""

    name = "baseline"
    description = "the trained policy shipped with tavrin_rl"
    argument = None

    def __init__(self, seed: int | str | None = None, sample: bool = False) -> None:
        super().__init__(seed, path=baseline_path(), sample=sample)
