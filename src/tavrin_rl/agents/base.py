"""What every agent shares: the `Agent` interface, the `Stream` of draws it picks with, the
engine's policy codes and the search's limits, and `pass_turns`, the one pass-advancing call."""

from __future__ import annotations

import hashlib
import secrets
from typing import Any

from tavrin_rl import _engine
# the mcts agent's playouts per decision by default and the most a search takes: the engine's
from tavrin_rl._limits import DEFAULT_PLAYOUTS as DEFAULT_PLAYOUTS
from tavrin_rl._limits import MAX_PLAYOUTS as MAX_PLAYOUTS
from tavrin_rl._tavrin import PyObservation, PyTavrin
from tavrin_rl.catalogue import NUM_ACTIONS
from tavrin_rl.nets import baseline_path as baseline_path  # for callers that import it here

_TRAITS = _engine.orientation_traits()
#: The engine's policies, by code.
POLICIES: tuple[str, ...] = tuple(_TRAITS["policies"])


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

    def below(self, n: int) -> int:
        """One draw in [0, n), advancing the stream: the engine's draw, as the batched engine
        turns a game's seats with it."""
        value, self.state = _engine.stream_below(self.state, n)
        return int(value)

    def __repr__(self) -> str:
        return f"Stream({self.state:#018x})"


def seen_mask(seen: Any) -> Any:
    """The action mask in what an agent was given to `act` on: the agent's `PyObservation` (its
    `action_mask`) or the mask itself (36400 bytes, or any buffer of them); None for None."""
    if seen is None or isinstance(seen, (bytes, bytearray, memoryview)):
        return seen
    if isinstance(seen, PyObservation):
        return seen.action_mask
    if isinstance(seen, dict):
        raise TypeError("act() takes the agent's PyObservation, its action mask or None with "
                        "game=game, not an environment's observation dict (pass its "
                        "'action_mask', or the game)")
    return seen  # an array of the mask's bytes: the engine checks its size


class Agent:
    """Base of the built-in agents: `act(observation, game=None)` returns a grid index the agent
    to move may place, or None when it has none (it is out of moves and passes). `observation`
    is that agent's `PyObservation` or its action mask; with `game`, the agent to move in the
    game is played and `observation` may be None: `act(None, game=game)` works for every
    agent."""

    name = "agent"
    description = ""
    #: The `AgentConfig` the agent was made from (`make_agent`, `AgentConfig.make`); None for an
    #: agent built from its class.
    config: Any = None

    def __init__(self, seed: int | str | None = None) -> None:
        self.stream = Stream.from_seed(seed)

    def act(self, observation: Any, game: PyTavrin | None = None) -> int | None:
        """The grid index to play for the agent to move, from its `PyObservation` or its
        36400-byte action mask, or None to pass. With `game`, the agent to move in it is played
        and `observation` may be None."""
        raise NotImplementedError

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"
