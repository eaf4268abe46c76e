"""The argument types the training command's options share: opponents, counts and numbers,
each refused in one line by argparse (status 2) before anything is created."""

from __future__ import annotations

import argparse
import math

from tavrin_rl._command import _whole_number, real
from tavrin_rl.vector import POLICIES

SELF = "self"  # an opponent drawn from the run's own earlier versions
#: Opponents played by the engine inside `VectorGames.step` (mcts at its default budget; also
#: "mcts:PLAYOUTS[:ROLLOUT]" and "policy:PATH", a policy file's net).
ENGINE_OPPONENTS: tuple[str, ...] = (*POLICIES, "mcts", "baseline")


def engine_opponent(name: str) -> None:
    """Refuses a name the engine does not play, and a policy file that does not load."""
    from tavrin_rl.agents.seats import is_engine_seat, net_path
    try:
        known = is_engine_seat(name)
        if known and (name == "baseline" or name.startswith("policy:")):
            from tavrin_rl.nets.policy import load_policy
            load_policy(net_path(name))
    except (OSError, ValueError) as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    if not known:
        raise argparse.ArgumentTypeError(
            f"unknown opponent {name!r} (choose from {', '.join((*ENGINE_OPPONENTS, SELF))}, "
            "mcts:PLAYOUTS[:ROLLOUT] or policy:PATH)")


def opponents(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    for name in names:
        if name != SELF:
            engine_opponent(name)
    if len(names) == 1:
        return names * 3
    if len(names) != 3:
        raise argparse.ArgumentTypeError(f"give one opponent or three, got {len(names)}")
    return names


def names(text: str) -> tuple[str, ...]:
    """Engine agents, each once (the evaluations' opponents)."""
    found = tuple(name.strip() for name in text.split(",") if name.strip())
    if not found:
        raise argparse.ArgumentTypeError(f"give at least one agent, got {text!r}")
    for name in found:
        engine_opponent(name)
    repeated = sorted({name for name in found if found.count(name) > 1})
    if repeated:
        raise argparse.ArgumentTypeError(f"give every agent once (repeated: {', '.join(repeated)})")
    return found


def bounded(text: str, maximum: int, minimum: int = 1) -> int:
    return _whole_number(text, minimum, f"from {minimum} to {maximum}", maximum)


def positive(text: str) -> int:
    return bounded(text, 10**9)


def rollout_size(text: str) -> int:
    # a rollout's games are held at once, with every decision of the learner's: beyond this
    # the memory, not the CPU, is the limit
    return bounded(text, 100_000)


def every(text: str) -> int:
    return _whole_number(text, 0, "from 0 up")


def above_zero(text: str) -> float:
    return real(text, "a number above 0", 0.0, low_included=False)


def not_negative(text: str) -> float:
    return real(text, "a number of 0 or more", 0.0)


def finite(text: str) -> float:
    return real(text, "a finite number", -math.inf)
