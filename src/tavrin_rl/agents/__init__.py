"""Built-in agents for self-play and as baselines to train against.

The agents' room: what every agent shares (`base`: `Agent`, `Stream`, `pass_turns`), the engine's
policies (`engine`: `random`, `greedy`, `reach`), the tree search (`search`: `mcts`), the trained
nets as agents (`policy`: `policy:PATH` and `baseline`, with their nets from `tavrin_rl.nets`;
`evaluate`: the former path of `tavrin_rl.evaluate`), the registry and the grammar of agent
strings (`config`: `AGENTS`, `AgentConfig`, the one value an agent string is read into;
`registry`: `parse_agent`, `make_agent`, its older wrappers) and the seat lineups of `VectorGames`
written with them (`seats`). This package registers its members into `AGENTS`; `config`,
`registry` and `seats` import no agent class, so that the batched engine can parse seats without
importing the nets, and `evaluate`, which plays on the batched engine, is imported by no agent.


An agent picks a grid index for the agent to move: `act(mask)` from its action mask
(`PyObservation.action_mask`, the 36400 bytes of its own frame), or `act(mask, game=game)` from
the game itself, which is faster (the engine searches only the sizes it needs). Either way the
rule runs in the engine, the same code that plays these agents' seats in `VectorGames`, the
dataset writer and the environments.

Each agent draws its random choices from a `Stream`, one draw per placement. A fresh agent has a
stream of its own, seeded from `seed`; agents that share one stream (`agent.stream = stream`), as
the command line's do (`Stream.for_game(seed, game)`), play the same games as `VectorGames` and
the dataset writer for that seed and game number.
"""

from __future__ import annotations

from tavrin_rl.agents.base import (DEFAULT_PLAYOUTS, MAX_PLAYOUTS, POLICIES, Agent, Stream,
                                   legal_actions, legal_grid_indexes, pass_turns)
from tavrin_rl.agents.engine import EngineAgent, GreedyAgent, RandomAgent, ReachAgent
from tavrin_rl.agents.policy import BaselineAgent, PolicyAgent
from tavrin_rl.agents.config import AgentConfig, agent_config
from tavrin_rl.agents.registry import AGENTS, make_agent, parse_agent
from tavrin_rl.agents.search import MctsAgent

AGENTS.update({cls.name: cls for cls in (RandomAgent, GreedyAgent, ReachAgent, MctsAgent,
                                         PolicyAgent, BaselineAgent)})

__all__ = ["AGENTS", "DEFAULT_PLAYOUTS", "MAX_PLAYOUTS", "POLICIES", "Agent", "AgentConfig",
           "BaselineAgent", "EngineAgent", "GreedyAgent", "MctsAgent", "PolicyAgent",
           "RandomAgent", "ReachAgent", "Stream", "agent_config", "legal_actions",
           "legal_grid_indexes", "make_agent", "parse_agent", "pass_turns"]
