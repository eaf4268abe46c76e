"""The tree search as an agent: `mcts`, played by the engine's search."""

from __future__ import annotations

from typing import Any

from tavrin_rl import _engine
from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.agents.base import DEFAULT_PLAYOUTS, POLICIES, Agent
from tavrin_rl.agents.config import agent_config, check_guide, check_search


class MctsAgent(Agent):
    """A Monte Carlo tree search (UCT for four players) in the engine: `playouts` games finished
    by the rule `rollout` per decision, widening each node over its placements ranked by size,
    then reach. Above 240 playouts, reach playouts mix in greedy placements (up to half at 480):
    a larger budget gains more from varied playouts than from repeated ones. The first two
    placements follow the reach rule unsearched. One draw from the agent's stream seeds each
    decision's search, so a seeded agent plays the same games as a `VectorGames` "mcts" seat with
    the same budget. With `guide` ("baseline" or "policy:PATH"), a trained net's priors and value
    guide the root and the busiest nodes (PUCT over the placements the net prefers). It needs the
    game (`act(None, game=game)`): an observation cannot be searched."""

    name = "mcts"
    description = ("a tree search of PLAYOUTS games per move finished by ROLLOUT "
                   f"(default {DEFAULT_PLAYOUTS} and reach; write mcts:PLAYOUTS or "
                   "mcts:PLAYOUTS:ROLLOUT), guided by a net with :guide=NET (baseline or policy:PATH)")

    def __init__(self, seed: int | str | None = None, playouts: int = DEFAULT_PLAYOUTS,
                 rollout: str = "reach", guide: str | None = None) -> None:
        super().__init__(seed)
        self.playouts, self.rollout = check_search(playouts, rollout)
        self._code = POLICIES.index(self.rollout)
        self.guide = None if guide is None else check_guide(guide)
        self._net = None
        if self.guide is not None:
            from tavrin_rl.nets.policy import load_policy
            self._net = load_policy(agent_config(self.guide).net_file).engine  # type: ignore[arg-type]

    def act(self, observation: Any, game: PyTavrin | None = None) -> int | None:
        if game is None:
            raise TypeError("the mcts agent searches the game, which an observation does not "
                            "hold: call act(None, game=game)")
        # The search takes one draw from the stream per decision and seeds its own with it.
        action, self.stream.state = _engine.search(game.to_bytes(), self.playouts, self._code,
                                                   self.stream.state, guide=self._net)
        return action

    def __repr__(self) -> str:
        guide = f", guide={self.guide!r}" if self.guide is not None else ""
        return f"MctsAgent(playouts={self.playouts}, rollout={self.rollout!r}{guide})"
