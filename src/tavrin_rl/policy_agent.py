"""A trained policy as an agent, by its first import path: it lives in `tavrin_rl.agents.policy`."""

from __future__ import annotations

from tavrin_rl.agents.policy import BaselineAgent, PolicyAgent, baseline_path

__all__ = ["BaselineAgent", "PolicyAgent", "baseline_path"]
