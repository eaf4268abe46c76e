"""The agent registry and the grammar of agent strings ("mcts:200:reach", "policy:PATH")."""

from __future__ import annotations

from typing import Any

from tavrin_rl.agents.base import MAX_PLAYOUTS, POLICIES, Agent


#: The agents by name. The package (`tavrin_rl.agents`) registers its members here, so that this
#: module and the seat lineups that parse agent strings sit below every agent class.
AGENTS: dict[str, type[Agent]] = {}


def parse_agent(text: str) -> tuple[str, dict[str, Any]]:
    """The name and settings of an agent written as on the command line: a name of `AGENTS`,
    `mcts[:PLAYOUTS][:ROLLOUT][:guide=NET]` (NET, "baseline" or "policy:PATH", takes the rest of
    the string), or "policy:PATH" (no commas: they separate seats)."""
    name, _, rest = text.partition(":")
    if name not in AGENTS:
        raise ValueError(f"unknown agent {name!r} (choose from {', '.join(AGENTS)})")
    if not rest:
        return name, {}
    argument = getattr(AGENTS[name], "argument", None)
    if argument is not None:  # an agent of one argument: policy:PATH
        return name, {argument: rest}
    if name != "mcts":
        raise ValueError(f"agent {name!r} takes no settings, got {text!r}")
    settings: dict[str, Any] = {}
    head, marked, guide = rest.partition("guide=")
    if marked:
        if head and not head.endswith(":"):
            raise ValueError(f"mcts settings are PLAYOUTS, ROLLOUT and guide=NET, got {text!r}")
        if guide != "baseline" and not (guide.startswith("policy:") and guide != "policy:"):
            raise ValueError(f"an mcts guide is a net, baseline or policy:PATH, got {guide!r} in {text!r}")
        settings["guide"] = guide
        rest = head[:-1]
        if not rest:
            return name, settings
    playouts, _, rollout = rest.partition(":")
    if not (playouts.isascii() and playouts.isdigit()):  # "²" is a digit to str, not to int()
        raise ValueError(f"mcts playouts must be a whole number from 1 to {MAX_PLAYOUTS}, got "
                         f"{playouts!r} in {text!r}")
    if not 1 <= int(playouts) <= MAX_PLAYOUTS:
        raise ValueError(f"mcts playouts must be from 1 to {MAX_PLAYOUTS}, got {playouts} in {text!r}")
    settings["playouts"] = int(playouts)
    if rollout:
        if rollout not in POLICIES:
            raise ValueError(f"unknown rollout {rollout!r} in {text!r} (choose from {', '.join(POLICIES)})")
        settings["rollout"] = rollout
    return name, settings


def make_agent(name: str, seed: int | str | None = None, **settings: Any) -> Agent:
    """A new built-in agent by name (one of `AGENTS`, or one with settings such as
    "mcts:200:random"), with its own random stream; `settings` go to its class (`playouts`, `rollout` for mcts)."""
    base, parsed = parse_agent(name)
    return AGENTS[base](seed, **{**parsed, **settings})  # type: ignore[call-arg]


def check_agent(text: str) -> str:
    """`text` when it makes an agent ("policy:PATH" reads its file, as a run will); otherwise
    ValueError in one line: the grammar's fault, or the file's, naming it."""
    try:
        make_agent(text)
    except OSError as error:  # policy:PATH: missing, unreadable, a folder...
        raise ValueError(f"cannot read {error.filename or text}: {error.strerror or error}") \
            from None
    return text
