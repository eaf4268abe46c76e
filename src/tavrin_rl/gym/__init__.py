"""Gymnasium environments of the game (needs numpy and gymnasium).

`SingleAgentEnv` is one seat against three opponents, registered as "tavrin_rl/SingleAgent-v0":

    import gymnasium
    import tavrin_rl.gym  # registers the environments
    env = gymnasium.make("tavrin_rl/SingleAgent-v0", opponents="greedy")

(or, without the import, `gymnasium.make("tavrin_rl.gym:tavrin_rl/SingleAgent-v0")`).
"""

from __future__ import annotations

import gymnasium

from tavrin_rl.gym.single import SingleAgentEnv

__all__ = ["SingleAgentEnv"]

SINGLE_AGENT_ID = "tavrin_rl/SingleAgent-v0"

if SINGLE_AGENT_ID not in gymnasium.registry:
    gymnasium.register(id=SINGLE_AGENT_ID, entry_point="tavrin_rl.gym.single:SingleAgentEnv",
                       disable_env_checker=False)
