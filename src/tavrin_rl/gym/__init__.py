"""Gymnasium environments of the game (needs numpy and gymnasium).

`SingleAgentEnv` is one seat against three opponents, registered as "tavrin_rl/SingleAgent-v0";
`make_vec(num_envs, ...)` runs many of them on the batched engine as one vector environment:

    import gymnasium
    import tavrin_rl.gym  # registers the environments
    env = gymnasium.make("tavrin_rl/SingleAgent-v0", opponents="greedy")
    envs = gymnasium.make_vec("tavrin_rl/SingleAgent-v0", num_envs=64,
                              vectorization_mode="vector_entry_point")

(or, without the import, `gymnasium.make("tavrin_rl.gym:tavrin_rl/SingleAgent-v0")`).
"""

from __future__ import annotations

from tavrin_rl._extras import needs_extra

try:
    import gymnasium
except ModuleNotFoundError as _error:
    raise needs_extra("tavrin_rl.gym", "pettingzoo", _error) from _error

from tavrin_rl.gym.single import SingleAgentEnv
from tavrin_rl.gym.vector import VectorSingleAgentEnv, make_vec

__all__ = ["SingleAgentEnv", "VectorSingleAgentEnv", "make_vec"]

SINGLE_AGENT_ID = "tavrin_rl/SingleAgent-v0"

if SINGLE_AGENT_ID not in gymnasium.registry:
    gymnasium.register(id=SINGLE_AGENT_ID, entry_point="tavrin_rl.gym.single:SingleAgentEnv",
                       vector_entry_point="tavrin_rl.gym.vector:make_vec")
