"""Who plays each seat of a `tavrin_rl.vector.VectorGames` batch, and the checks of its whole-number
options."""

from __future__ import annotations

from typing import Any

import numpy as np

from tavrin_rl.agents.base import DEFAULT_PLAYOUTS, MAX_PLAYOUTS, POLICIES
from tavrin_rl.agents.registry import parse_agent
from tavrin_rl.catalogue import NUM_SEATS

#: Who plays a seat, by code: "learner" and "external" seats are played by the caller through
#: `step`; the engine plays the others inside `step`.
SEATS: tuple[str, ...] = ("learner", "external", *POLICIES, "mcts")
OUTSIDE_SEATS = frozenset({0, 1})
SEARCH_SEAT = SEATS.index("mcts")


def seat_codes(seats: Any) -> bytes:
    """Four seat codes from a sequence of four names (or codes), or a dict {seat: name} whose
    missing seats are learners."""
    return seat_lineup(seats)[0]


def seat_lineup(seats: Any) -> tuple[bytes, dict[str, Any]]:
    """`seat_codes`, and the search settings of "mcts" seats written "mcts:PLAYOUTS" or
    "mcts:PLAYOUTS:ROLLOUT" ({} for plain "mcts"); every search seat of a batch shares one."""
    if isinstance(seats, dict):
        names: list[Any] = ["learner"] * NUM_SEATS
        for seat, name in seats.items():
            if isinstance(seat, bool) or not isinstance(seat, int) or not 0 <= seat < NUM_SEATS:
                raise ValueError(f"seats keys must be seats 0 to {NUM_SEATS - 1}, got {seat!r}")
            names[seat] = name
    elif isinstance(seats, str):
        raise TypeError("seats must be four seat names or a dict {seat: name}, got a str")
    else:
        names = list(seats)
    if len(names) != NUM_SEATS:
        raise ValueError(f"seats must name {NUM_SEATS} seats, got {len(names)}")
    codes = []
    search: dict[str, Any] | None = None
    for name in names:
        if isinstance(name, str) and name.startswith("mcts:"):
            settings = parse_agent(name)[1]
            if search is not None and settings != search:
                raise ValueError("every mcts seat of a batch plays with the same settings, got "
                                 f"{search} and {settings}")
            search = settings
            name = "mcts"
        if name not in SEATS:
            raise ValueError(f"unknown seat policy {name!r}, choose from {', '.join(SEATS)}")
        codes.append(SEATS.index(name))
    return bytes(codes), search or {}


def whole(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    return int(value)


def search_settings(search: dict[str, Any]) -> tuple[int, str]:
    """The playouts and rollout policy of a lineup's "mcts" seats (`seat_lineup`'s settings),
    checked, with the defaults for those not given."""
    playouts = search.get("playouts", DEFAULT_PLAYOUTS)
    if not 1 <= playouts <= MAX_PLAYOUTS:
        raise ValueError(f"mcts playouts must be from 1 to {MAX_PLAYOUTS}, got {playouts}")
    rollout = search.get("rollout", "reach")
    if rollout not in POLICIES:
        raise ValueError(f"unknown mcts rollout {rollout!r}, choose from {', '.join(POLICIES)}")
    return playouts, rollout


def uint64(value: Any, name: str) -> int:
    """`value` as an int from 0 to 2**64 - 1 (a seed or a game number)."""
    number = whole(value, name)
    if not 0 <= number < 2 ** 64:
        raise ValueError(f"{name} must be from 0 to 2**64 - 1, got {number}")
    return number
