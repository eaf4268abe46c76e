"""The agent registry and the grammar of agent strings ("mcts:200:reach", "policy:PATH"): the
functions that took agent strings before `AgentConfig`, each a thin call of it."""

from __future__ import annotations

from typing import Any

from tavrin_rl.agents.base import Agent
from tavrin_rl.agents.config import AGENTS as AGENTS
from tavrin_rl.agents.config import AgentConfig as AgentConfig
from tavrin_rl.agents.config import agent_config as agent_config


def parse_agent(text: str | AgentConfig) -> tuple[str, dict[str, Any]]:
    """The name and settings of an agent string (`agent_config`'s value as a pair: the search's
    defaults filled in)."""
    config = agent_config(text)
    return config.name, config.settings


def make_agent(name: str | AgentConfig, seed: int | str | None = None, **settings: Any) -> Agent:
    """A new built-in agent by name (one of `AGENTS`, or one with settings such as
    "mcts:200:random", or an `AgentConfig`), with its own random stream; `settings` go to its
    class (`playouts`, `rollout` for mcts), checked as the string's are."""
    config = agent_config(name)
    return (config.replace(**settings) if settings else config).make(seed)


def check_agent(text: str | AgentConfig) -> str | AgentConfig:
    """`text` when it names an agent whose policy files load (as a run will read them);
    otherwise ValueError in one line: the grammar's fault, or the file's, naming it."""
    agent_config(text).check()
    return text
