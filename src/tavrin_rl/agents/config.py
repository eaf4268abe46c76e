"""Agent strings ("mcts:200:reach", "policy:PATH", "random") read once, into one value.

`AgentConfig` names an agent and its settings; `agent_config` is the one parser of the strings.
The command line, `make_agent`, `VectorGames` seats, the environments' opponents, the arena and
the play server all go through it, so a string means the same agent wherever it is written, and
the limits it is checked against are the engine's own. The registry `AGENTS` lives here too:
the package registers its agent classes into it, so that this module, and the seat lineups that
read agent strings, import no agent class.
"""

from __future__ import annotations

import functools
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from tavrin_rl._limits import DEFAULT_PLAYOUTS, MAX_PLAYOUTS
from tavrin_rl.agents.base import POLICIES, baseline_path

if TYPE_CHECKING:
    from tavrin_rl.agents.base import Agent

#: The agents by name. The package (`tavrin_rl.agents`) registers its members here.
AGENTS: dict[str, type[Agent]] = {}

SEARCH = "mcts"
NETS = ("policy", "baseline")
_ROLLOUT = "reach"  # the search's rollout when none is written
_GRAMMAR = "mcts settings are PLAYOUTS, ROLLOUT and guide=NET"


@dataclass(frozen=True)
class AgentConfig:
    """An agent and its settings, checked: what an agent string says, as a value. Equal values
    play alike ("mcts" and "mcts:120:reach" are one value: the search's defaults are filled in).
    `text` writes it back as an agent string; `make(seed)` builds a fresh agent of it.

    Made by `agent_config("mcts:200:reach")` or `AgentConfig.of("mcts", playouts=200)`; building
    one directly (`AgentConfig("mcts", (("playouts", 200),))`) checks it the same way."""

    name: str
    #: The settings as sorted (key, value) pairs; `settings` gives them as a dict.
    options: tuple[tuple[str, Any], ...] = ()

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or self.name not in AGENTS:
            raise ValueError(f"unknown agent {self.name!r} (choose from {', '.join(AGENTS)})")
        settings = _checked(self.name, dict(self.options))
        object.__setattr__(self, "options", tuple(sorted(settings.items())))

    @classmethod
    def of(cls, name: str, **settings: Any) -> AgentConfig:
        """The agent `name` of `AGENTS` with keyword settings (`playouts`, `rollout`, `guide` for
        mcts; `path` for policy; `sample` for the nets)."""
        return cls(name, tuple(settings.items()))

    @property
    def settings(self) -> dict[str, Any]:
        """The settings as the agent's class takes them (a new dict)."""
        return dict(self.options)

    def replace(self, **settings: Any) -> AgentConfig:
        """This agent with some settings changed (checked as a new value)."""
        return AgentConfig(self.name, tuple({**self.settings, **settings}.items()))

    @property
    def text(self) -> str:
        """The agent string of this value: "mcts:120:reach:guide=baseline", "policy:PATH",
        "random". (`sample`, which no agent string writes, is left out.)"""
        own = self.settings
        if self.name == SEARCH:
            guide = f":guide={own['guide']}" if "guide" in own else ""
            return f"{SEARCH}:{own['playouts']}:{own['rollout']}{guide}"
        argument = getattr(AGENTS[self.name], "argument", None)
        if argument is not None and own.get(argument) is not None:
            return f"{self.name}:{own[argument]}"
        return self.name

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        written = agent_config(self.text).options  # what the string leaves out: sample=True
        extra = "".join(f", {key}={value!r}" for key, value in self.options
                        if (key, value) not in written)
        return f"AgentConfig({self.text!r}{extra})"

    @property
    def net_file(self) -> str | None:
        """The real path of the policy file a net agent plays (the shipped one for "baseline"
        and a bare "policy"); None for the others."""
        if self.name not in NETS:
            return None
        path = self.settings.get("path")
        return os.path.realpath(baseline_path() if path is None else path)

    @property
    def guide_file(self) -> str | None:
        """The real path of the policy file that guides a search; None without a guide."""
        guide = self.settings.get("guide")
        return None if guide is None else agent_config(guide).net_file

    def check(self) -> AgentConfig:
        """This value, once the policy files it names (a net's, a guide's) load; otherwise
        ValueError in one line naming the file. Nothing is built: the file is read once and
        shared with the agents `make` builds."""
        from tavrin_rl.nets.policy import load_policy
        for path in (self.net_file, self.guide_file):
            if path is None:
                continue
            try:
                load_policy(path)
            except OSError as error:  # missing, unreadable, a folder...
                raise ValueError(f"cannot read {error.filename or path}: "
                                 f"{error.strerror or error}") from None
        return self

    def make(self, seed: int | str | None = None) -> Agent:
        """A new agent of this value with its own random stream seeded from `seed`."""
        agent = AGENTS[self.name](seed, **self.settings)
        agent.config = self
        return agent


def agent_config(agent: str | AgentConfig) -> AgentConfig:
    """The value of an agent string: a name of `AGENTS`, `mcts[:PLAYOUTS[:ROLLOUT]][:guide=NET]`
    (NET, "baseline" or "policy:PATH", takes the rest of the string), or "policy:PATH" (no
    commas: they separate seats). An `AgentConfig` is returned as it is. A string is read once
    per process: the same string gives the same value. ValueError, in one line, for a string
    that names no agent, an empty field ("policy:", "mcts:100:") or a setting out of bounds."""
    if isinstance(agent, AgentConfig):
        return agent
    if not isinstance(agent, str):
        raise TypeError(f"an agent is an agent string such as 'mcts:200' or an AgentConfig, "
                        f"got {type(agent).__name__}")
    return _parse(agent)


@functools.lru_cache(maxsize=256)
def _parse(text: str) -> AgentConfig:
    name, colon, rest = text.partition(":")
    if name not in AGENTS:
        raise ValueError(f"unknown agent {name!r} (choose from {', '.join(AGENTS)})")
    if colon and not rest:
        # "policy:$NET" with NET unset: refused, rather than played as the shipped net
        raise ValueError(f"{text!r} has an empty field: " + (
            f"write {name}:PATH, or baseline for the shipped net" if name in NETS else
            f"write {SEARCH} or {SEARCH}:PLAYOUTS[:ROLLOUT][:guide=NET]" if name == SEARCH else
            f"{name} takes no settings"))
    if not rest:
        return AgentConfig(name)
    argument = getattr(AGENTS[name], "argument", None)
    if argument is not None:  # an agent of one argument: policy:PATH
        return AgentConfig(name, ((argument, rest),))
    if name != SEARCH:
        raise ValueError(f"agent {name!r} takes no settings, got {text!r}")
    return AgentConfig(name, tuple(_search_fields(text, rest).items()))


def _search_fields(text: str, rest: str) -> dict[str, Any]:
    """The settings written after "mcts:", as strings and ints, not yet checked for bounds."""
    settings: dict[str, Any] = {}
    head, marked, guide = rest.partition("guide=")
    if marked:
        if head and not head.endswith(":"):
            raise ValueError(f"{_GRAMMAR}, got {text!r}")
        if not guide:
            raise ValueError(f"{text!r} has an empty field: {_GRAMMAR}, each given or left out")
        settings["guide"] = guide
        if not head:
            return settings
        head = head[:-1]  # "mcts::guide=NET" leaves an empty PLAYOUTS, refused below
    fields = head.split(":")
    if len(fields) > 2:
        raise ValueError(f"{_GRAMMAR}, got {text!r}")
    if "" in fields:
        raise ValueError(f"{text!r} has an empty field: {_GRAMMAR}, each given or left out")
    playouts = fields[0]
    if not (playouts.isascii() and playouts.isdigit()):  # "²" is a digit to str, not to int()
        raise ValueError(f"mcts playouts must be a whole number from 1 to {MAX_PLAYOUTS}, got "
                         f"{playouts!r} in {text!r}")
    settings["playouts"] = int(playouts)
    if len(fields) == 2:
        settings["rollout"] = fields[1]
    return settings


def check_search(playouts: Any, rollout: Any) -> tuple[int, str]:
    """A search's playouts and rollout policy, checked against the engine's bounds."""
    if isinstance(playouts, bool) or not isinstance(playouts, int):
        raise TypeError(f"mcts playouts must be an int, got {type(playouts).__name__}")
    if not 1 <= playouts <= MAX_PLAYOUTS:
        raise ValueError(f"mcts playouts must be from 1 to {MAX_PLAYOUTS}, got {playouts}")
    if rollout not in POLICIES:
        raise ValueError(f"unknown rollout {rollout!r} for mcts (choose from {', '.join(POLICIES)})")
    return int(playouts), str(rollout)


def _checked(name: str, settings: dict[str, Any]) -> dict[str, Any]:
    """`settings` of agent `name`, checked, with the search's defaults filled in."""
    known = {SEARCH: ("playouts", "rollout", "guide"), "policy": ("path", "sample"),
             "baseline": ("sample",)}.get(name, () if name in POLICIES else None)
    if known is None:  # an agent registered from outside: its class checks its settings
        return settings
    unknown = sorted(set(settings) - set(known))
    if unknown:
        raise ValueError(f"agent {name!r} takes no setting {unknown[0]!r}"
                         + (f" (it takes {', '.join(known)})" if known else ""))
    if settings.get("sample") is not None and not isinstance(settings["sample"], bool):
        raise TypeError(f"sample must be True or False, got {settings['sample']!r}")
    if not settings.get("sample", True):
        del settings["sample"]  # the default: a value without it is the same agent
    if name == SEARCH:
        settings["playouts"], settings["rollout"] = check_search(
            settings.get("playouts", DEFAULT_PLAYOUTS), settings.get("rollout", _ROLLOUT))
        if settings.get("guide") is not None:
            settings["guide"] = check_guide(settings["guide"])
        else:
            settings.pop("guide", None)
    if name == "policy" and settings.get("path") is not None:
        path = os.fspath(settings["path"])
        if not isinstance(path, str):
            raise TypeError(f"a policy file's path is a str or a path, got {type(path).__name__}")
        if not path:
            raise ValueError("policy names its file: policy:PATH, got an empty path")
        settings["path"] = path
    elif name == "policy":
        settings.pop("path", None)
    return settings


def check_guide(guide: Any) -> str:
    """A search's guide as its agent string: "baseline" or "policy:PATH"."""
    text = guide.text if isinstance(guide, AgentConfig) else guide
    if not isinstance(text, str) or not (text == "baseline" or text.startswith("policy:")):
        raise ValueError(f"an mcts guide is a net, baseline or policy:PATH, got {text!r}")
    try:
        config = agent_config(text)
    except ValueError as error:
        raise ValueError(f"mcts guide={text}: {error}") from None
    if config.settings.get("sample"):
        raise ValueError("an mcts guide gives priors and values; it takes no sample setting")
    return config.text
