"""Built-in agents for self-play and as baselines to train against.

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

import hashlib
import secrets
from typing import Any

from tavrin_rl import _engine
from tavrin_rl._tavrin import PyTavrin
from tavrin_rl.catalogue import NUM_ACTIONS

_TRAITS = _engine.orientation_traits()
#: The engine's policies, by code.
POLICIES: tuple[str, ...] = tuple(_TRAITS["policies"])
#: The mcts agent's playouts per decision by default, and the most a search takes.
DEFAULT_PLAYOUTS = 120
MAX_PLAYOUTS = 20_000


def legal_grid_indexes(mask: bytes, start: int = 0, stop: int = NUM_ACTIONS) -> list[int]:
    """The grid indexes in [start, stop) whose byte in the action `mask` is 1, in increasing
    order: one game's legal placements as a list."""
    found = []
    index = mask.find(1, start, stop)
    while index >= 0:
        found.append(index)
        index = mask.find(1, index + 1, stop)
    return found


legal_actions = legal_grid_indexes  # the former name, kept for the code that calls it


def pass_turns(game: PyTavrin, until: int | None = None) -> None:
    """Passes every agent to move that is out of moves, until one that can place is to move, the
    game is over, or (with `until`) agent `until` is to move. Every loop that plays a game needs
    these passes, and they are the same step whoever plays the other seats."""
    while (not game.is_over and game.agent_selection != until
           and game.terminations[game.agent_selection]):
        game.step(None)


class Stream:
    """A seeded stream of 64-bit random draws (the engine's splitmix64); agents that hold the same
    `Stream` draw from it in turn."""

    __slots__ = ("state",)

    def __init__(self, state: int = 0) -> None:
        self.state = int(state) & (2**64 - 1)

    @classmethod
    def for_game(cls, seed: int, game: int) -> "Stream":
        """The stream of game number `game` (from 0) of a run seeded with `seed`: the one
        `VectorGames.reset(seed, first_game=...)` and the dataset writer give that game."""
        return cls(_engine.stream_for_game(seed, game))

    @classmethod
    def from_seed(cls, seed: int | str | None) -> "Stream":
        """A stream for any seed: an int from 0 to 2**64 - 1, a str, or None for a fresh one."""
        if seed is None:
            return cls(secrets.randbits(64))
        if isinstance(seed, str):
            digest = hashlib.blake2b(seed.encode(), digest_size=8).digest()
            return cls.for_game(int.from_bytes(digest, "little"), 0)
        if isinstance(seed, bool) or not isinstance(seed, int):
            raise TypeError(f"seed must be an int, a str or None, got {type(seed).__name__}")
        if not 0 <= seed < 2**64:
            raise ValueError(f"seed must be from 0 to 2**64 - 1, got {seed}")
        return cls.for_game(seed, 0)

    def __repr__(self) -> str:
        return f"Stream({self.state:#018x})"


class Agent:
    """Base of the built-in agents: `act(mask, game=None)` returns a grid index with a 1 in
    `mask`, or None when the mask is all zero (the agent is out of moves and passes)."""

    name = "agent"
    description = ""

    def __init__(self, seed: int | str | None = None) -> None:
        self.stream = Stream.from_seed(seed)

    def act(self, mask: bytes | None, game: PyTavrin | None = None) -> int | None:
        """The grid index to play for the 36400-byte action `mask` of the agent to move, or None
        to pass. With `game`, the agent to move in it is played and `mask` may be None."""
        raise NotImplementedError

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"


class EngineAgent(Agent):
    """An agent whose rule is one of the engine's policies."""

    policy = "random"

    def __init__(self, seed: int | str | None = None) -> None:
        super().__init__(seed)
        self._code = POLICIES.index(self.policy)

    def act(self, mask: bytes | None, game: PyTavrin | None = None) -> int | None:
        source: Any = mask if game is None else game.to_bytes()
        if source is None:
            raise TypeError("act() needs an action mask or a game")
        action, self.stream.state = _engine.pick(self._code, source, self.stream.state)
        return action  # type: ignore[no-any-return]


class RandomAgent(EngineAgent):
    """Plays a uniformly random legal placement: the weakest baseline."""

    name = policy = "random"
    description = "a uniformly random legal placement"


class GreedyAgent(EngineAgent):
    """Plays its largest piece that still fits, at a random legal place: large pieces are the
    hardest to fit late, and every cell placed counts towards the score."""

    name = policy = "greedy"
    description = "the largest piece that fits, placed at random"


class ReachAgent(EngineAgent):
    """Plays its largest piece that fits, where it reaches farthest from its own corner (row +
    column of its farthest cell, ties at random): it claims room towards the centre early, which
    beats `greedy` and `random` clearly."""

    name = policy = "reach"
    description = "the largest piece that fits, placed to reach farthest from its own corner"


class MctsAgent(Agent):
    """A Monte Carlo tree search (UCT for four players) in the engine: `playouts` games finished
    by the rule `rollout` per decision, widening each node over its placements ranked by size,
    then reach. Above 240 playouts, reach playouts mix in greedy placements (up to half at 480):
    a larger budget gains more from varied playouts than from repeated ones. The first two
    placements follow the reach rule unsearched. One draw from the agent's stream seeds each
    decision's search, so a seeded agent plays the same games as a `VectorGames` "mcts" seat with
    the same budget. It needs the game (`act(mask, game=game)`): a mask alone cannot be
    searched."""

    name = "mcts"
    description = ("a tree search of PLAYOUTS games per move finished by ROLLOUT "
                   f"(default {DEFAULT_PLAYOUTS} and reach; write mcts:PLAYOUTS or "
                   "mcts:PLAYOUTS:ROLLOUT)")

    def __init__(self, seed: int | str | None = None, playouts: int = DEFAULT_PLAYOUTS,
                 rollout: str = "reach") -> None:
        super().__init__(seed)
        if isinstance(playouts, bool) or not isinstance(playouts, int):
            raise TypeError(f"playouts must be an int, got {type(playouts).__name__}")
        if not 1 <= playouts <= MAX_PLAYOUTS:
            raise ValueError(f"playouts must be from 1 to {MAX_PLAYOUTS}, got {playouts}")
        if rollout not in POLICIES:
            raise ValueError(f"unknown rollout {rollout!r} (choose from {', '.join(POLICIES)})")
        self.playouts = playouts
        self.rollout = rollout
        self._code = POLICIES.index(rollout)

    def act(self, mask: bytes | None, game: PyTavrin | None = None) -> int | None:
        if game is None:
            raise TypeError("the mcts agent searches the game: call act(mask, game=game)")
        # The search takes one draw from the stream per decision and seeds its own with it.
        action, self.stream.state = _engine.search(game.to_bytes(), self.playouts, self._code,
                                                   self.stream.state)
        return action  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        return f"MctsAgent(playouts={self.playouts}, rollout={self.rollout!r})"


AGENTS: dict[str, type[Agent]] = {
    cls.name: cls for cls in (RandomAgent, GreedyAgent, ReachAgent, MctsAgent)
}

# Trained policies ("policy", "baseline"), played in numpy: their module subclasses Agent and adds
# them to AGENTS, so it is imported once both exist.
import tavrin_rl.policy_agent  # noqa: E402,F401


def parse_agent(text: str) -> tuple[str, dict[str, Any]]:
    """The name and settings of an agent written as on the command line: a name of `AGENTS`,
    "mcts:PLAYOUTS" / "mcts:PLAYOUTS:ROLLOUT", or "policy:PATH" (no commas: they separate
    seats)."""
    name, _, rest = text.partition(":")
    if name not in AGENTS:
        raise ValueError(f"unknown agent {name!r} (choose from {', '.join(AGENTS)})")
    if not rest:
        return name, {}
    argument = getattr(AGENTS[name], "argument", None)
    if argument is not None:  # an agent of one argument: policy:PATH
        return name, {argument: rest}
    if name != MctsAgent.name:
        raise ValueError(f"agent {name!r} takes no settings, got {text!r}")
    playouts, _, rollout = rest.partition(":")
    if not playouts.isdigit():
        raise ValueError(f"mcts playouts must be a whole number, got {playouts!r} in {text!r}")
    if not 1 <= int(playouts) <= MAX_PLAYOUTS:
        raise ValueError(f"mcts playouts must be from 1 to {MAX_PLAYOUTS}, got {playouts} in {text!r}")
    settings: dict[str, Any] = {"playouts": int(playouts)}
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
